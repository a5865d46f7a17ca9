#include "api/rpc_request.h"

#include <string>

#include "core/error.h"
#include "json/json.h"
#include "text/encoding.h"

namespace velmar::api {

namespace {

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                 static_cast<unsigned char>(bytes[i + 1]) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[n >> 18];
    out += kDigits[(n >> 12) & 63];
    out += kDigits[(n >> 6) & 63];
    out += kDigits[n & 63];
  }
  if (i < bytes.size()) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kDigits[n >> 18];
    out += kDigits[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Basic credentials go out as ASCII: every character outside it becomes "?".
std::string BasicAuthorization(const std::string& username, const std::string& password) {
  std::string pair = text::UnicodeToAscii(text::CodePageToUnicode(username)) + ":" +
                     text::UnicodeToAscii(text::CodePageToUnicode(password));
  return "Basic " + Base64(pair);
}

// The host goes into the URL as it was typed. Characters that would change the URL's meaning
// (a path, user info, a query) are refused rather than sending the request elsewhere; an IPv6
// address gets the brackets a URL needs.
std::string UrlHost(const std::string& host) {
  if (host.empty()) throw Error("No server host name given.");
  for (unsigned char c : host) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '.' || c == '_' || c == ':' || c == '[' || c == ']' || c == '%';
    if (!allowed) throw Error("Invalid server host name: \"" + host + "\"");
  }
  if (host.find(':') != std::string::npos && !host.starts_with('[')) return "[" + host + "]";
  return host;
}

std::string RequestUrl(const ServerSettings& settings) {
  return std::string(settings.useSSL ? "https://" : "http://") + UrlHost(settings.host) + ":" +
         std::to_string(settings.port) + "/api/";
}

// The request object {"jsonrpc":"2.0","method":…,"params":…,"id":1} as the writer puts it out
// with escaping on: members in the writer's fixed order, every character outside ASCII as a
// \u escape. Written in place, as the writer would, without building the object first.
std::u16string RequestText(const std::string& method, const JsonRef& params) {
  std::u16string text = u"{\"method\":";
  text += JsonRef::MakeString(text::CodePageToUnicode(method)).AsJson(true);
  text += u",\"params\":";
  text += params ? params.AsJson(true) : u"null";
  text += u",\"id\":1,\"jsonrpc\":\"2.0\"}";
  return text;
}

}  // namespace

void ReplyParse::Take(long status, std::string_view bytes) noexcept {
  bytes_ += bytes.size();
  if (status >= 200 && status < 300) reader_.Feed(bytes);
}

HttpPost RpcPost(const ServerSettings& settings, const std::string& method, const JsonRef& params,
                 std::atomic<bool>& sendCredentials, ReplyParse& parse) {
  const ConnectionUse use = CurrentConnectionUse();
  const RequestLimits limits = CurrentRequestLimits();
  const bool readOnly = IsReadOnlyMethod(method);
  const std::u16string requestText = RequestText(method, params);

  HttpPost post;
  post.url = RequestUrl(settings);
  if (sendCredentials.load() || (!settings.username.empty() && !settings.password.empty())) {
    post.authorization = BasicAuthorization(settings.username, settings.password);
    sendCredentials.store(true);
  }
  // Fully escaped JSON is plain ASCII, so its code-page bytes are its characters.
  post.body = text::UnicodeToCodePage(requestText);
  post.verifyPeer = settings.verification == TlsVerification::Verify;
  // With reuse, a request that changes something never goes out on a connection that the
  // server may be closing at that moment: nobody could tell whether it arrived.
  post.freshConnection = use.reuse ? !readOnly : !settings.useSSL;
  post.keepAlive = use.reuse;
  post.retryable = use.reuse && readOnly;
  post.timeoutSeconds = limits.timeoutSeconds;
  post.maxReplyBytes = limits.maxReplyBytes;
  post.bodySink = &parse;
  return post;
}

JsonRef RpcResult(const HttpReply& reply, ReplyParse& parse) {
  if (reply.status >= 400)
    throw Error(reply.statusLine.empty() ? "HTTP error " + std::to_string(reply.status)
                                         : reply.statusLine);
  if (reply.status >= 300 && reply.status < 400)
    throw Error("The server answered with a redirect, which is not followed: " + reply.statusLine);
  if (reply.status < 200 || reply.status >= 300)
    throw Error("Unexpected HTTP status from the server: " + reply.statusLine);
  if (parse.bytes() == 0) throw Error("The server sent an empty reply.");

  JsonRef parsed = parse.Finish();
  if (!parsed || parsed.DataType() != json::JsonType::stObject)
    throw Error("The server's reply is not a JSON-RPC object.");

  if (JsonRef error = parsed.Get(u"error")) {
    JsonRef message = error.Get(u"message");
    if (!message) throw Error("The server reported an error without a message.");
    // Like every text in the reply, the message arrived one character per byte.
    throw Error(text::Utf16ToUtf8(text::Utf8Repair(message.AsString())));
  }
  return parsed.Get(u"result");
}

}  // namespace velmar::api
