// The HTTP class of the network component on WinHTTP: one GET per call, the answer's status and
// body kept for the caller, one log line per request.
#pragma once

#include <windows.h>

#include <winhttp.h>

#include <atomic>
#include <string>

#include "netcomp/http_limits.h"
#include "netcomp/win32/mvnetwork.h"

namespace kestrel::netcomp {

// Live objects and server locks, for DllCanUnloadNow.
extern std::atomic<long> g_server_references;

class HttpEx final : public IMvnHttpEx {
 public:
  HttpEx();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE put_LogFile(BSTR path) override;
  HRESULT STDMETHODCALLTYPE put_UserName(BSTR name) override;
  HRESULT STDMETHODCALLTYPE put_Password(BSTR password) override;
  HRESULT STDMETHODCALLTYPE Get(BSTR url, BSTR* body) override;
  HRESULT STDMETHODCALLTYPE get_LastError(LONG* code) override;
  HRESULT STDMETHODCALLTYPE get_ResponseCode(LONG* status) override;

 private:
  ~HttpEx();

  // One request; answers 0 or the WinHTTP error that stopped it.
  DWORD Fetch(const wchar_t* url, std::string& bytes, std::wstring& shown_url);
  // Sends the request, once more with digest when a device refuses basic; 0 or a WinHTTP error.
  DWORD Send(HINTERNET request);
  // Reads the answer's body within the body cap and the request time-out.
  static DWORD ReadBody(HINTERNET request, std::string& bytes);
  void Log(const std::wstring& shown_url, DWORD elapsed_ms, std::size_t bytes, DWORD winhttp_error);

  std::atomic<ULONG> references_{1};
  HINTERNET session_ = nullptr;  // kept for the component's life, so connections are reused
  std::wstring log_file_;
  std::wstring user_name_;
  std::wstring password_;
  LONG last_error_ = 0;
  LONG response_code_ = 0;
};

// Maps a WinHTTP failure to the code of the error-message table that names it.
LONG ErrorCodeFor(DWORD winhttp_error);

// The body as UTF-16: UTF-8 when the bytes are valid UTF-8, else Windows-1252.
BSTR DecodeBody(const std::string& bytes);

}  // namespace kestrel::netcomp
