#include "netcomp/curl_component.h"

#include <curl/curl.h>
#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <new>

#include "common/mvn_base.h"
#include "common/password_mask.h"
#include "common/text_codec.h"
#include "netcomp/curl_transfer.h"

namespace kestrel::netcomp {

namespace {

using kestrel::platform::WChar;

constexpr std::size_t kKeptBodyBytes = 64 * 1024;
// libcurl's own default, for a device with a share to keep its answers in.
constexpr long kDnsCacheSeconds = 60;
constexpr long kNoDnsCache = 0;

struct CurlErrorRow {
  CURLcode code;
  int32_t error;
};

// libcurl results that have a more telling code than the generic HTTP failure.
constexpr CurlErrorRow kCurlErrors[] = {
    {CURLE_COULDNT_RESOLVE_HOST, kErrorUnknownHost},
    {CURLE_COULDNT_RESOLVE_PROXY, kErrorUnknownHost},
    {CURLE_COULDNT_CONNECT, kErrorRefused},
    {CURLE_OPERATION_TIMEDOUT, kErrorTimedOut},
    {CURLE_PEER_FAILED_VERIFICATION, kErrorCertificate},
    {CURLE_SSL_CACERT_BADFILE, kErrorCertificate},
    {CURLE_SSL_ISSUER_ERROR, kErrorCertificate},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, kErrorCertificate},
    {CURLE_SSL_INVALIDCERTSTATUS, kErrorCertificate},
};

struct ErrnoRow {
  long os_errno;
  int32_t error;
};

// A failed connect says why through the socket error; the table has the Winsock texts for these.
constexpr ErrnoRow kConnectErrnos[] = {
    {ECONNREFUSED, kErrorRefused}, {ETIMEDOUT, kErrorTimedOut}, {ENETUNREACH, 10051},
    {EHOSTUNREACH, 10065},         {EHOSTDOWN, 10064},          {ENETDOWN, 10050},
};

std::once_flag g_curl_init;

void InitCurlOnce() {
  std::call_once(g_curl_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string WideToUtf8(const WChar* text) {
  std::string out;
  if (text != nullptr) kestrel::text::Utf16ToUtf8(text, kestrel::platform::WideLength(text), out);
  return out;
}

// The CA bundle and folder libcurl was built with, for a device whose own CA file is gone; the
// same for every component, so kept once. Never destroyed, like the transfer pools.
struct BuiltInTrust {
  std::string ca_file;
  std::string ca_dir;
};

const BuiltInTrust& BuiltIn() {
  static const BuiltInTrust* const trust = [] {
    auto* paths = new BuiltInTrust;
#if LIBCURL_VERSION_NUM >= 0x075400
    if (CURL* easy = curl_easy_init()) {
      const char* text = nullptr;
      if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &text) == CURLE_OK && text != nullptr) {
        paths->ca_file = text;
      }
      text = nullptr;
      if (curl_easy_getinfo(easy, CURLINFO_CAPATH, &text) == CURLE_OK && text != nullptr) {
        paths->ca_dir = text;
      }
      curl_easy_cleanup(easy);
    }
#endif
    return paths;
  }();
  return *trust;
}

const char* OrNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

// A handle lent for one GET goes back to the pool however the GET ends: an allocation that fails
// while the GET is configured throws past the code that would give it back, and the handle would
// keep the device's share in use, so neither could be freed.
class LentHandle {
 public:
  explicit LentHandle(CURL* easy) : easy_(easy) {}
  ~LentHandle() { GiveBack(); }
  LentHandle(const LentHandle&) = delete;
  LentHandle& operator=(const LentHandle&) = delete;
  void GiveBack() {
    if (easy_ != nullptr) ReturnEasyHandle(easy_);
    easy_ = nullptr;
  }

 private:
  CURL* easy_;
};

// A host keeps one component per device, so a component keeps between GETs only what its device
// has shown it will reuse (an exporter of 10,000 devices at rest held 44 KB a device, 18 KB of it
// libcurl's; now 26 KB):
// - a share with the connection, while libcurl keeps the device's connections open after its
//   answers (a new component takes it that it does, so such a device is reached on one
//   connection from its first GET);
// - a share with DNS answers alone for a host name that libcurl asks the system about. For an
//   address every GET enters it anew, 3,100 instructions (0.8% of a load) where a share would
//   keep 1.3 KB for each device;
// - an easy handle of its own where state worth keeping lives in it: a login (the scheme the
//   device asked for and digest's nonce, so later GETs need no second round trip) or TLS (the
//   session that the next handshake resumes). Other GETs borrow a handle from the pool.
class CurlComponent final : public kestrel::platform::HttpComponent {
 public:
  CurlComponent() { HoldTransferPool(); }

  void SetLogFile(const WChar* path) override {
    // The log file is a path on this machine: the ANSI code page is how such names travel here.
    log_file_.clear();
    trust_folder_.clear();
    if (path == nullptr) return;
    const int32_t size = kestrel::text::WideToAnsi(path, -1, nullptr, 0);
    if (size <= 1) return;
    log_file_.resize(static_cast<std::size_t>(size));
    kestrel::text::WideToAnsi(path, -1, log_file_.data(), size);
    log_file_.resize(static_cast<std::size_t>(size) - 1);
    const std::size_t slash = log_file_.rfind('/');
    trust_folder_ = slash == std::string::npos ? "."
                    : slash == 0               ? "/"
                                               : log_file_.substr(0, slash);
  }

  void SetUserName(const WChar* name) override { user_ = WideToUtf8(name); }

  void SetPassword(const WChar* password) override {
    Wipe(password_);
    password_ = WideToUtf8(password);
  }

  void Get(const WChar* url, WChar** body) override {
    if (body != nullptr) *body = nullptr;
    Transfer(url, [&] {
      if (body == nullptr) return;
      const std::u16string text = DecodeResponseBody(received_);
      *body = kestrel::platform::AllocWideString(reinterpret_cast<const WChar*>(text.data()),
                                                 text.size());
    });
  }

  // Nearly every device answers in UTF-8 (ASCII, mostly): its bytes go on as they came, without a
  // round through UTF-16 and a string of the COM kind.
  bool GetUtf8(const WChar* url, std::string& body) override {
    body.clear();
    Transfer(url, [&] { body = DecodeResponseBodyToUtf8(received_); });
    return true;
  }

  int32_t LastError() override { return last_error_; }
  int32_t ResponseCode() override { return response_code_; }

  void Release() override { delete this; }

 private:
  ~CurlComponent() {
    // The easy handle first: a share that a handle still uses cannot go.
    if (own_easy_ != nullptr) curl_easy_cleanup(own_easy_);
    if (share_ != nullptr) curl_share_cleanup(share_);
    ReleaseTransferPool();
    Wipe(password_);
  }

  // One GET; on_body runs when a response arrived, while its bytes are in received_.
  template <typename OnBody>
  void Transfer(const WChar* url, OnBody on_body) {
    last_error_ = kErrorGeneric;
    response_code_ = 0;
    received_.clear();
    const std::string target = WideToUtf8(url);
    const auto started = std::chrono::steady_clock::now();

    error_text_[0] = '\0';
    out_of_memory_ = false;
    const bool named = NeedsNameLookup(target);
    FitShare(named);
    CURL* easy = EasyHandleFor(target);
    LentHandle lent(easy != own_easy_ ? easy : nullptr);
    TransferOutcome outcome;
    if (easy != nullptr) outcome.result = Configure(easy, target);
    if (outcome.result == CURLE_OK) {
      outcome = PerformTransfer(easy, share_kind_ == ShareKind::kDnsAndConnections);
    }
    CURLcode result = outcome.result;
    if (out_of_memory_) {
      // libcurl's text would blame the write, not the memory.
      result = CURLE_OUT_OF_MEMORY;
      error_text_[0] = '\0';
    }
    long os_errno = 0;
    long status = 0;
    if (easy != nullptr) {
      curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_errno);
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    }
    lent.GiveBack();
    NoteConnection(outcome.connection_kept, result == CURLE_OK);
    if (result == CURLE_OK) {
      response_code_ = static_cast<int32_t>(status);
      last_error_ = kErrorNone;
      on_body();
    } else {
      last_error_ = ComponentErrorFromCurl(result, os_errno);
    }
    // What the device will not reuse goes now rather than at the next GET.
    FitShare(named);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    Log(target, result, static_cast<long>(elapsed.count()));
    received_.clear();
    // A device's answer of a few kilobytes keeps its buffer for the next GET; a huge one does not.
    if (received_.capacity() > kKeptBodyBytes) std::string().swap(received_);
  }

  // A server that keeps connections still closes one now and then (after so many requests, or
  // when it restarts): only a device that closes after every answer loses its connection cache.
  // One that did not answer has no connection worth a cache while it rests; should it keep the
  // next, it is back in the cache one GET later.
  void NoteConnection(bool kept, bool answered) {
    if (kept) {
      connections_ = Connections::kKept;
    } else if (!answered || connections_ != Connections::kKept) {
      connections_ = Connections::kClosed;
    }
  }

  // Makes or drops the share so that it holds what the next GET would reuse; named: the device's
  // host is a name that libcurl asks the system about.
  void FitShare(bool named) {
    const ShareKind wanted = connections_ != Connections::kClosed ? ShareKind::kDnsAndConnections
                             : named                              ? ShareKind::kDns
                                                                  : ShareKind::kNone;
    if (wanted == share_kind_) return;
    if (share_ != nullptr) {
      if (own_easy_ != nullptr) curl_easy_setopt(own_easy_, CURLOPT_SHARE, nullptr);
      curl_share_cleanup(share_);
    }
    share_ = NewComponentShare(wanted);
    share_kind_ = share_ != nullptr ? wanted : ShareKind::kNone;
  }

  CURL* EasyHandleFor(const std::string& url) {
    const bool keeps_state = !user_.empty() || ::strncasecmp(url.c_str(), "https:", 6) == 0;
    if (!keeps_state) {
      if (own_easy_ != nullptr) curl_easy_cleanup(own_easy_);
      own_easy_ = nullptr;
      return BorrowEasyHandle();
    }
    if (own_easy_ == nullptr) {
      own_easy_ = curl_easy_init();
      if (own_easy_ != nullptr) SetFixedOptions(own_easy_);
    }
    return own_easy_;
  }

  static void Wipe(std::string& secret) {
    volatile char* p = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i) p[i] = 0;
    secret.clear();
  }

  // Called from libcurl's C frames, which an exception must never cross: it would leave the handle
  // inside a transfer that never ends, and every later GET would fail. A short count makes libcurl
  // abandon the transfer with a write error instead.
  static size_t Receive(char* data, size_t size, size_t count, void* self) noexcept {
    auto* component = static_cast<CurlComponent*>(self);
    const std::size_t bytes = size * count;
    if (bytes > kMaxBodyBytes - component->received_.size()) return 0;
    try {
      component->received_.append(data, bytes);
    } catch (...) {
      component->out_of_memory_ = true;
      return 0;
    }
    return bytes;
  }

  // What this GET needs beyond the fixed options; a borrowed handle carries another device's.
  CURLcode Configure(CURL* e, const std::string& url) {
    CURLcode r = curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    if (r != CURLE_OK) return r;
    r = curl_easy_setopt(e, CURLOPT_SHARE, share_);
    if (r != CURLE_OK) return r;
    // Without a share for them, DNS answers would gather in the borrowed multi handles, and
    // libcurl walks a whole cache after every transfer to expire its entries.
    curl_easy_setopt(e, CURLOPT_DNS_CACHE_TIMEOUT,
                     share_ != nullptr ? kDnsCacheSeconds : kNoDnsCache);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlComponent::Receive);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_text_);
    ConfigureTrust(e);
    if (!user_.empty()) {
      curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
      curl_easy_setopt(e, CURLOPT_USERNAME, user_.c_str());
      curl_easy_setopt(e, CURLOPT_PASSWORD, password_.c_str());
    } else {
      curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_NONE));
      curl_easy_setopt(e, CURLOPT_USERNAME, nullptr);
      curl_easy_setopt(e, CURLOPT_PASSWORD, nullptr);
    }
    return CURLE_OK;
  }

  // Read for every GET, so a host that changes a device's files needs no new component; a few
  // file-status calls are nothing beside a request.
  void ConfigureTrust(CURL* e) {
    const DeviceTrust trust =
        trust_folder_.empty() ? DeviceTrust() : ReadDeviceTrust(trust_folder_);
    if (!trust.ca_file.empty()) {
      curl_easy_setopt(e, CURLOPT_CAINFO, trust.ca_file.c_str());
      curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    } else {
      // libcurl is built with a fixed CA bundle, so OpenSSL's own variables would go unheard; a
      // device's self-made certificate is trusted the way OpenSSL tools trust it.
      const char* ca_file = std::getenv("SSL_CERT_FILE");
      const char* ca_dir = std::getenv("SSL_CERT_DIR");
      curl_easy_setopt(e, CURLOPT_CAINFO,
                       ca_file != nullptr && *ca_file != 0 ? ca_file : OrNull(BuiltIn().ca_file));
      curl_easy_setopt(e, CURLOPT_CAPATH,
                       ca_dir != nullptr && *ca_dir != 0 ? ca_dir : OrNull(BuiltIn().ca_dir));
    }
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, trust.insecure ? 0L : 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, trust.insecure ? 0L : 2L);
  }

  // One line per request into the provider's trace file, in its own line format, written with one
  // call: a stream and its buffer would be heap blocks for every GET, and the line is put together
  // without printf, whose machinery costs more than the rest of the line.
  void Log(const std::string& url, CURLcode result, long elapsed_ms) const {
    if (log_file_.empty()) return;
    std::string line(kestrel::kTimeStampLength, ' ');
    line.reserve(160 + url.size());
    kestrel::WriteTimeStamp(&line[0]);
    line += "HttpComponent: GET ";
    line += UrlForLog(url);
    auto number = [&line](long value) {
      char digits[24];
      line.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    };
    if (result == CURLE_OK) {
      line += " -> status ";
      number(response_code_);
      line += ", ";
      line += std::to_string(received_.size());
      line += " bytes, ";
    } else {
      // libcurl's own text names the check that failed ("self-signed certificate", "no
      // alternative certificate subject name matches"), where the result code only says "TLS".
      line += " -> no response (error ";
      number(last_error_);
      line += ": ";
      line += error_text_[0] != '\0' ? error_text_ : curl_easy_strerror(result);
      line += "), ";
    }
    number(elapsed_ms);
    line += " ms\n";
    kestrel::platform::WriteTextAtOnce(log_file_.c_str(), "at", line.data(), line.size());
  }

  CURL* own_easy_ = nullptr;
  CURLSH* share_ = nullptr;
  ShareKind share_kind_ = ShareKind::kNone;
  // Whether the device keeps its connections open; a new component takes it that it does.
  enum class Connections { kUnknown, kKept, kClosed } connections_ = Connections::kUnknown;
  std::string log_file_;
  std::string trust_folder_;  // empty: no trace file, so no device trust
  std::string user_;
  std::string password_;
  std::string received_;
  char error_text_[CURL_ERROR_SIZE] = {};
  int32_t last_error_ = -1;
  int32_t response_code_ = -1;
  // The receive callback could not keep what arrived.
  bool out_of_memory_ = false;
};

}  // namespace

int32_t ComponentErrorFromCurl(int curl_code, long os_errno) {
  const auto code = static_cast<CURLcode>(curl_code);
  if (code == CURLE_OK) return kErrorNone;
  if (code == CURLE_COULDNT_CONNECT) {
    const auto* row = std::find_if(std::begin(kConnectErrnos), std::end(kConnectErrnos),
                                   [&](const ErrnoRow& r) { return r.os_errno == os_errno; });
    if (row != std::end(kConnectErrnos)) return row->error;
  }
  const auto* row = std::find_if(std::begin(kCurlErrors), std::end(kCurlErrors),
                                 [&](const CurlErrorRow& r) { return r.code == code; });
  return row != std::end(kCurlErrors) ? row->error : kErrorGeneric;
}

std::u16string DecodeResponseBody(const std::string& bytes) {
  std::u16string text;
  // Not UTF-8: older firmware sends its labels in the Windows code page.
  if (!kestrel::text::Utf8ToUtf16(bytes.data(), bytes.size(), text)) {
    text.clear();
    kestrel::text::Windows1252ToUtf16(bytes.data(), bytes.size(), text);
  }
  return text;
}

std::string DecodeResponseBodyToUtf8(const std::string& bytes) {
  if (kestrel::text::IsValidUtf8(bytes.data(), bytes.size())) return bytes;
  // Not UTF-8: older firmware sends its labels in the Windows code page.
  std::string text;
  text.reserve(bytes.size() * 2);
  kestrel::text::Windows1252ToUtf8(bytes.data(), bytes.size(), text);
  return text;
}

DeviceTrust ReadDeviceTrust(const std::string& folder) {
  DeviceTrust trust;
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0 || (status.st_mode & S_IWOTH) != 0) return trust;
  const uid_t self = ::geteuid();
  auto heeded = [&](const char* name) {
    // The entry itself, not what a link points to: the host links the configured CA file.
    struct stat entry {};
    return ::lstat((folder + "/" + name).c_str(), &entry) == 0 &&
           (entry.st_uid == self || entry.st_uid == 0);
  };
  // A CA link whose file has gone still counts: the device then fails its check rather than
  // falling back to the system's store.
  if (heeded(kTrustCaFileName)) trust.ca_file = folder + "/" + kTrustCaFileName;
  trust.insecure = heeded(kTrustInsecureFileName);
  return trust;
}

bool NeedsNameLookup(const std::string& url) {
  const std::size_t scheme = url.find("://");
  std::size_t begin = scheme == std::string::npos ? 0 : scheme + 3;
  std::size_t colon = std::string::npos;
  std::size_t end = begin;
  for (; end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#'; ++end) {
    if (url[end] == '@') {
      begin = end + 1;  // after a user name and password
      colon = std::string::npos;
    } else if (url[end] == ':' && colon == std::string::npos) {
      colon = end;
    }
  }
  if (begin < end && url[begin] == '[') return false;  // an IPv6 address
  if (colon != std::string::npos) end = colon;
  const std::size_t length = end - begin;
  const char* host = url.c_str() + begin;
  // Digits and dots: an IPv4 address.
  if (length > 0 &&
      std::all_of(host, host + length, [](char c) { return c == '.' || IsDigit(c); })) {
    return false;
  }
  // libcurl answers these itself, with the loopback addresses.
  constexpr char kLocal[] = "localhost";
  constexpr std::size_t kLocalLength = sizeof kLocal - 1;
  if (length == kLocalLength) return ::strncasecmp(host, kLocal, kLocalLength) != 0;
  return !(length > kLocalLength + 1 && host[length - kLocalLength - 1] == '.' &&
           ::strncasecmp(host + length - kLocalLength, kLocal, kLocalLength) == 0);
}

std::string UrlForLog(const std::string& url) {
  return kestrel::MaskPassword(url.c_str());
}

int32_t CreateCurlComponent(kestrel::platform::HttpComponent** component) {
  if (component == nullptr) return -1;
  *component = nullptr;
  InitCurlOnce();
  *component = new (std::nothrow) CurlComponent;
  return *component != nullptr ? 0 : -1;
}

}  // namespace kestrel::netcomp
