#include "driver/connection_uri.h"

#include <algorithm>

#include "driver/adbc_status.h"
#include "util/ascii.h"

namespace zv {

namespace {

// URI parameters and the database options they set. Secrets (passwords,
// session tokens) have no parameter: a URI is too easily shown or logged.
constexpr struct {
  const char* name;
  const char* option;
} kParameters[] = {
    {"tls", "adbc.zorvane.tls.encrypt"},
    {"trust_server_cert", "adbc.zorvane.tls.trust_server_cert"},
    {"ca_bundle", "adbc.zorvane.tls.ca_bundle"},
    {"tls_min_version", "adbc.zorvane.tls.min_version"},
    {"host_in_cert", "adbc.zorvane.tls.host_in_cert"},
    {"client_cert", "adbc.zorvane.tls.client_cert"},
    {"client_key", "adbc.zorvane.tls.client_key"},
    {"compute_url", "adbc.zorvane.compute_url"},
    {"compute_node", "adbc.zorvane.compute_node"},
    {"application_name", "adbc.zorvane.application_name"},
    {"connect_timeout_sec", "adbc.zorvane.connect_timeout_sec"},
    {"max_stream_buffer_mb", "adbc.zorvane.max_stream_buffer_mb"},
    {"proxy_url", "adbc.zorvane.proxy_url"},
    {"proxy_user", "adbc.zorvane.proxy_user"},
    {"log_level", "adbc.zorvane.log_level"},
    {"log_path", "adbc.zorvane.log_path"},
    {"api_trace_path", "adbc.zorvane.api_trace_path"},
};

constexpr const char* kSecretParameters[] = {"password", "session_token", "proxy_pass"};

arrow::Status BadUri(std::string message) {
  return InvalidOptionValue("uri: " + std::move(message));
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// "%XX" sequences become the byte they name; '+' stays a plus sign. Any other
// byte, including UTF-8 sequences written as is, is kept. `what` names the
// part in the error, never its content.
arrow::Result<std::string> PercentDecode(std::string_view text, const std::string& what) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    const int high = i + 2 < text.size() ? ascii_hex_value(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? ascii_hex_value(text[i + 2]) : -1;
    if (high < 0 || low < 0) {
      return BadUri(what + " has a '%' that is not followed by two hexadecimal digits");
    }
    if (high == 0 && low == 0) return BadUri(what + " contains an encoded NUL (%00)");
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return decoded;
}

arrow::Result<UriTransport> TransportOf(std::string_view scheme) {
  const std::string lower = AsciiLower(scheme);
  if (lower == "zorvane") return UriTransport::kFollowTls;
  if (lower == "zorvane+https") return UriTransport::kHttps;
  if (lower == "zorvane+http") return UriTransport::kHttp;
  return BadUri("scheme must be zorvane://, zorvane+https:// or zorvane+http://");
}

arrow::Status ParseUserInfo(std::string_view user_info, ConnectionUri* out) {
  const size_t colon = user_info.find(':');
  ARROW_ASSIGN_OR_RAISE(std::string user,
                        PercentDecode(user_info.substr(0, colon), "the user name"));
  if (colon != std::string_view::npos) {
    ARROW_ASSIGN_OR_RAISE(std::string password,
                          PercentDecode(user_info.substr(colon + 1), "the password"));
    ZeroOnScopeExit wipe(password);
    if (user.empty()) return BadUri("has a password but no user name");
    out->password.Assign(password);
  }
  if (!user.empty()) out->username = std::move(user);
  return arrow::Status::OK();
}

bool IsPort(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const int value = std::stoi(std::string(port));
  return value >= 1 && value <= 65535;
}

bool IsIpv6Literal(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return ascii_hex_value(c) >= 0 || c == ':' || c == '.';
  });
}

// "host", "host:port", "[v6]" or "[v6]:port".
arrow::Status CheckHostAndPort(std::string_view authority) {
  if (authority.empty()) return BadUri("has no host");
  std::string_view port_part;
  if (authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos || !IsIpv6Literal(authority.substr(1, close - 1))) {
      return BadUri("has a malformed IPv6 host (expected [address] or [address]:port)");
    }
    std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') {
      return BadUri("has text after the closing ']' of the IPv6 host");
    }
    if (!after.empty()) port_part = after.substr(1);
    if (!after.empty() && !IsPort(port_part)) {
      return BadUri("port must be a number from 1 to 65535");
    }
    return arrow::Status::OK();
  }
  const size_t colon = authority.find(':');
  if (colon != std::string_view::npos && authority.find(':', colon + 1) != std::string_view::npos) {
    return BadUri("an IPv6 host must be written in brackets, as [address]:port");
  }
  if (colon == 0) return BadUri("has no host");
  if (colon != std::string_view::npos && !IsPort(authority.substr(colon + 1))) {
    return BadUri("port must be a number from 1 to 65535");
  }
  return arrow::Status::OK();
}

const char* OptionForParameter(const std::string& name) {
  for (const auto& parameter : kParameters) {
    if (name == parameter.name) return parameter.option;
  }
  return nullptr;
}

arrow::Status UnknownParameter(const std::string& name) {
  for (const char* secret : kSecretParameters) {
    if (name == secret) {
      return BadUri("parameter '" + name +
                    "' is not accepted: put the password in the user information "
                    "(user:password@host) or set the secret as its own option");
    }
  }
  std::string known;
  for (const auto& parameter : kParameters) {
    known += known.empty() ? "" : ", ";
    known += parameter.name;
  }
  return BadUri("unknown parameter '" + name + "' (known parameters: " + known + ")");
}

arrow::Status ParseQuery(std::string_view query, ConnectionUri* out) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    ARROW_ASSIGN_OR_RAISE(std::string name, PercentDecode(pair.substr(0, eq), "a parameter name"));
    if (eq == std::string_view::npos) {
      std::string text = "parameter '" + name;
      text += "' has no value (expected ";
      text += name;
      text += "=value)";
      return BadUri(std::move(text));
    }
    const char* option = OptionForParameter(name);
    if (option == nullptr) return UnknownParameter(name);
    for (const auto& [key, _] : out->options) {
      if (key == option) return BadUri("parameter '" + name + "' is given more than once");
    }
    ARROW_ASSIGN_OR_RAISE(std::string value,
                          PercentDecode(pair.substr(eq + 1), "parameter '" + name + "'"));
    out->options.emplace_back(option, std::move(value));
  }
  return arrow::Status::OK();
}

// Where the user information ends: the last '@' before the query or fragment.
size_t UserInfoEnd(std::string_view rest) {
  return rest.substr(0, rest.find_first_of("?#")).rfind('@');
}

}  // namespace

bool IsConnectionUri(std::string_view uri) {
  const size_t sep = uri.find("://");
  if (sep == std::string_view::npos) return false;
  return TransportOf(uri.substr(0, sep)).ok();
}

arrow::Result<ConnectionUri> ParseConnectionUri(std::string_view uri) {
  const size_t sep = uri.find("://");
  if (sep == std::string_view::npos) return BadUri("has no scheme (expected zorvane://...)");
  ConnectionUri out;
  ARROW_ASSIGN_OR_RAISE(out.transport, TransportOf(uri.substr(0, sep)));
  std::string_view rest = uri.substr(sep + 3);

  const size_t at = UserInfoEnd(rest);
  if (at != std::string_view::npos) {
    ARROW_RETURN_NOT_OK(ParseUserInfo(rest.substr(0, at), &out));
    rest = rest.substr(at + 1);
  }
  const size_t hash = rest.find('#');
  if (hash != std::string_view::npos) return BadUri("must not have a fragment ('#...')");
  const size_t question = rest.find('?');
  const std::string_view location = rest.substr(0, question);
  const std::string_view authority = location.substr(0, location.find('/'));
  ARROW_RETURN_NOT_OK(CheckHostAndPort(authority));
  out.authority_and_path = std::string(location);
  if (question != std::string_view::npos) {
    ARROW_RETURN_NOT_OK(ParseQuery(rest.substr(question + 1), &out));
  }
  return out;
}

std::string ServiceUrl(const ConnectionUri& uri, bool tls_mode_off) {
  const bool http = uri.transport == UriTransport::kHttp ||
                    (uri.transport == UriTransport::kFollowTls && tls_mode_off);
  std::string location = uri.authority_and_path;
  // The service's endpoints are appended to this base, so a bare "/" path
  // would produce "//".
  while (!location.empty() && location.back() == '/') location.pop_back();
  return (http ? "http://" : "https://") + location;
}

std::string UriForLog(std::string_view uri) {
  const size_t sep = uri.find("://");
  if (sep == std::string_view::npos) return std::string(uri);
  const std::string_view rest = uri.substr(sep + 3);
  const size_t at = UserInfoEnd(rest);
  if (at == std::string_view::npos) return std::string(uri);
  return std::string(uri.substr(0, sep + 3)) + "[REDACTED]@" + std::string(rest.substr(at + 1));
}

}  // namespace zv
