// Texts of the device documents as people and scripts read them: UTF-8, JSON values, values with
// the sensor's own number of decimals. Every program that hosts the module shows values this way.
#pragma once

#include <chrono>
#include <string>

namespace kestrel::host {

// Text as a JSON string literal, quotes included. The text is UTF-8.
std::string JsonString(const std::string& text);

// Whether text is a number in JSON's grammar (what the documents' numbers are written in).
bool IsJsonNumber(const std::string& text);

// A number text of a document as a JSON value: the number itself, or null when it is none.
std::string JsonNumber(const std::string& text);

// The module's texts are in the Windows-1252 code page; terminals and JSON want UTF-8.
std::string Windows1252ToUtf8(const std::string& text);

// value printed with digits decimals ("-" when the document holds no value).
std::string FormatValue(const std::string& value, const std::string& digits);

// The position of a two-state reading in words ("open", "closed", "active", "inactive"); empty
// when unit is no two-state unit. A dry contact reads 1 while it is open (a door contact reads 0
// while the door is shut).
std::string StateWord(const std::string& unit, double value);

// when as RFC 3339 in UTC with milliseconds: "2026-12-06T07:20:01.123Z".
std::string Rfc3339Utc(std::chrono::system_clock::time_point when);

// text with the five characters that markup gives meaning escaped, for HTML and XML alike.
std::string MarkupEscape(const std::string& text);

}  // namespace kestrel::host
