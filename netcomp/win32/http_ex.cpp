#include "netcomp/win32/http_ex.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace kestrel::netcomp {

std::atomic<long> g_server_references{0};

namespace {

constexpr int kResolveTimeoutMs = 5000;
// What the log names when a body passes the cap ("the file size exceeds the limit allowed").
constexpr DWORD kBodyTooLarge = ERROR_FILE_TOO_LARGE;

// Codes of the error-message table that the provider turns into texts.
constexpr LONG kRefused = 10061;
constexpr LONG kTimedOut = 10060;
constexpr LONG kUnknownHost = 11001;
constexpr LONG kCertificateProblem = 22450;
constexpr LONG kGenericFailure = 22449;

struct ErrorMapping {
  DWORD winhttp_error;
  LONG code;
};

constexpr ErrorMapping kErrorMappings[] = {
    {ERROR_WINHTTP_CANNOT_CONNECT, kRefused},
    {ERROR_WINHTTP_TIMEOUT, kTimedOut},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, kUnknownHost},
    {ERROR_WINHTTP_SECURE_FAILURE, kCertificateProblem},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, kCertificateProblem},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, kCertificateProblem},
    {ERROR_WINHTTP_SECURE_INVALID_CA, kCertificateProblem},
    {ERROR_WINHTTP_SECURE_CERT_REV_FAILED, kCertificateProblem},
    {ERROR_WINHTTP_SECURE_INVALID_CERT, kCertificateProblem},
    {ERROR_WINHTTP_SECURE_CERT_REVOKED, kCertificateProblem},
    {ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE, kCertificateProblem},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, kCertificateProblem},
};

class Handle {
 public:
  explicit Handle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) ::WinHttpCloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

std::string Narrow(const std::wstring& text, UINT code_page) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(),
                          size, nullptr, nullptr);
  }
  return out;
}

// The scheme to use after a 401: digest when offered, else basic; 0 when neither is offered.
DWORD ChooseAuthScheme(HINTERNET request) {
  DWORD supported = 0;
  DWORD first = 0;
  DWORD target = 0;
  if (!::WinHttpQueryAuthSchemes(request, &supported, &first, &target)) return 0;
  if ((supported & WINHTTP_AUTH_SCHEME_DIGEST) != 0) return WINHTTP_AUTH_SCHEME_DIGEST;
  if ((supported & WINHTTP_AUTH_SCHEME_BASIC) != 0) return WINHTTP_AUTH_SCHEME_BASIC;
  return 0;
}

// The URL as logged: any "user:password@" in front of the host is left out.
std::wstring WithoutUserInfo(const std::wstring& url) {
  const std::size_t scheme = url.find(L"://");
  const std::size_t authority = scheme == std::wstring::npos ? 0 : scheme + 3;
  const std::size_t end = std::min(url.find_first_of(L"/?#", authority), url.size());
  const std::size_t at = url.rfind(L'@', end == 0 ? 0 : end - 1);
  if (at == std::wstring::npos || at < authority) return url;
  return url.substr(0, authority) + url.substr(at + 1);
}

// A COM call must not let an exception out to its caller: running out of memory fails the call.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    body();
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

LONG ErrorCodeFor(DWORD winhttp_error) {
  for (const ErrorMapping& mapping : kErrorMappings) {
    if (mapping.winhttp_error == winhttp_error) return mapping.code;
  }
  return kGenericFailure;
}

BSTR DecodeBody(const std::string& bytes) {
  if (bytes.empty()) return ::SysAllocStringLen(L"", 0);
  const int length = static_cast<int>(bytes.size());
  UINT code_page = CP_UTF8;
  DWORD flags = MB_ERR_INVALID_CHARS;
  int units = ::MultiByteToWideChar(code_page, flags, bytes.data(), length, nullptr, 0);
  if (units <= 0) {
    code_page = 1252;
    flags = 0;
    units = ::MultiByteToWideChar(code_page, flags, bytes.data(), length, nullptr, 0);
  }
  if (units <= 0) return nullptr;
  BSTR text = ::SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (text != nullptr) ::MultiByteToWideChar(code_page, flags, bytes.data(), length, text, units);
  return text;
}

HttpEx::HttpEx() {
  ++g_server_references;
}

HttpEx::~HttpEx() {
  if (session_ != nullptr) ::WinHttpCloseHandle(session_);
  ::SecureZeroMemory(password_.data(), password_.size() * sizeof(wchar_t));
  --g_server_references;
}

HRESULT STDMETHODCALLTYPE HttpEx::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kHttpExInterface)) {
    *object = static_cast<IMvnHttpEx*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE HttpEx::AddRef() {
  return ++references_;
}

ULONG STDMETHODCALLTYPE HttpEx::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT STDMETHODCALLTYPE HttpEx::put_LogFile(BSTR path) {
  return Guarded([&] { log_file_.assign(path != nullptr ? path : L""); });
}

HRESULT STDMETHODCALLTYPE HttpEx::put_UserName(BSTR name) {
  return Guarded([&] { user_name_.assign(name != nullptr ? name : L""); });
}

HRESULT STDMETHODCALLTYPE HttpEx::put_Password(BSTR password) {
  return Guarded([&] { password_.assign(password != nullptr ? password : L""); });
}

HRESULT STDMETHODCALLTYPE HttpEx::get_LastError(LONG* code) {
  if (code == nullptr) return E_POINTER;
  *code = last_error_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE HttpEx::get_ResponseCode(LONG* status) {
  if (status == nullptr) return E_POINTER;
  *status = response_code_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE HttpEx::Get(BSTR url, BSTR* body) {
  if (body != nullptr) *body = nullptr;
  response_code_ = 0;
  last_error_ = kGenericFailure;
  HRESULT result = S_OK;
  const HRESULT guarded = Guarded([&] {
    const DWORD start = ::GetTickCount();
    std::string bytes;
    std::wstring shown_url;
    const DWORD error = Fetch(url != nullptr ? url : L"", bytes, shown_url);
    last_error_ = error == 0 ? 0 : ErrorCodeFor(error);
    Log(shown_url, ::GetTickCount() - start, bytes.size(), error);
    if (error != 0 || body == nullptr) return;
    *body = DecodeBody(bytes);
    if (*body == nullptr) {
      last_error_ = kGenericFailure;
      result = E_OUTOFMEMORY;
    }
  });
  if (FAILED(guarded)) last_error_ = kGenericFailure;
  return FAILED(guarded) ? guarded : result;
}

DWORD HttpEx::Fetch(const wchar_t* url, std::string& bytes, std::wstring& shown_url) {
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  shown_url = WithoutUserInfo(url);
  if (!::WinHttpCrackUrl(url, 0, 0, &parts)) return ::GetLastError();
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

  if (session_ == nullptr) {
    session_ = ::WinHttpOpen(L"kestrel-probe", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session_ == nullptr) return ::GetLastError();
    ::WinHttpSetTimeouts(session_, kResolveTimeoutMs, static_cast<int>(kConnectTimeoutMs),
                         static_cast<int>(kRequestTimeoutMs), static_cast<int>(kRequestTimeoutMs));
  }
  Handle connection(::WinHttpConnect(session_, host.c_str(), parts.nPort, 0));
  if (connection.get() == nullptr) return ::GetLastError();
  Handle request(::WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      secure ? WINHTTP_FLAG_SECURE : 0));
  if (request.get() == nullptr) return ::GetLastError();
  DWORD redirects = static_cast<DWORD>(kMaxRedirects);
  // Not every WinHTTP knows this option; the default limit applies then.
  ::WinHttpSetOption(request.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                     sizeof redirects);

  const DWORD error = Send(request.get());
  return error != 0 ? error : ReadBody(request.get(), bytes);
}

DWORD HttpEx::Send(HINTERNET request) {
  const bool with_credentials = !user_name_.empty();
  DWORD scheme = WINHTTP_AUTH_SCHEME_BASIC;
  for (int round = 0; round < 2; ++round) {
    if (with_credentials &&
        !::WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_SERVER, scheme, user_name_.c_str(),
                                 password_.c_str(), nullptr)) {
      return ::GetLastError();
    }
    if (!::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                              0, 0) ||
        !::WinHttpReceiveResponse(request, nullptr)) {
      return ::GetLastError();
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
      return ::GetLastError();
    }
    response_code_ = static_cast<LONG>(status);
    // Basic goes out with the first request; a device that asks for digest gets a second one.
    if (status != HTTP_STATUS_DENIED || !with_credentials || round > 0) break;
    const DWORD offered = ChooseAuthScheme(request);
    if (offered == 0 || offered == scheme) break;
    scheme = offered;
  }
  return 0;
}

DWORD HttpEx::ReadBody(HINTERNET request, std::string& bytes) {
  // A body shorter than its announced length is a broken answer, not a short document.
  DWORD announced = 0;
  DWORD announced_size = sizeof announced;
  const bool has_length = ::WinHttpQueryHeaders(
      request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
      WINHTTP_HEADER_NAME_BY_INDEX, &announced, &announced_size, WINHTTP_NO_HEADER_INDEX);
  // The Linux component's cap, so that both builds load the same devices.
  if (has_length && announced > kMaxBodyBytes) return kBodyTooLarge;

  const DWORD start = ::GetTickCount();
  std::vector<char> chunk(16384);
  for (;;) {
    DWORD got = 0;
    if (!::WinHttpReadData(request, chunk.data(), static_cast<DWORD>(chunk.size()), &got)) {
      return ::GetLastError();
    }
    if (got == 0) break;
    if (got > kMaxBodyBytes - bytes.size()) return kBodyTooLarge;
    bytes.append(chunk.data(), got);
    // A device that trickles its answer must not hold the caller past the request time-out.
    if (::GetTickCount() - start > static_cast<DWORD>(kRequestTimeoutMs)) {
      return ERROR_WINHTTP_TIMEOUT;
    }
  }
  if (has_length && bytes.size() < announced) return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
  return 0;
}

// One line per request into the provider's trace file, in the same format as the Linux component.
void HttpEx::Log(const std::wstring& shown_url, DWORD elapsed_ms, std::size_t bytes,
                 DWORD winhttp_error) {
  if (log_file_.empty()) return;
  std::FILE* file = ::_wfopen(log_file_.c_str(), L"at");
  if (file == nullptr) return;
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  ::localtime_s(&local, &now);
  const std::string url = Narrow(shown_url, CP_ACP);
  std::fprintf(file, "[%02d:%02d:%02d] HttpComponent: GET %s -> ", local.tm_hour, local.tm_min,
               local.tm_sec, url.c_str());
  if (winhttp_error == 0) {
    std::fprintf(file, "status %ld, %lu bytes, %lu ms\n", response_code_,
                 static_cast<unsigned long>(bytes), static_cast<unsigned long>(elapsed_ms));
  } else {
    std::fprintf(file, "no response (error %ld: WinHTTP error %lu), %lu ms\n", last_error_,
                 static_cast<unsigned long>(winhttp_error), static_cast<unsigned long>(elapsed_ms));
  }
  std::fclose(file);
}

}  // namespace kestrel::netcomp
