#include "sim/replies.h"

namespace velmar::sim {

bool refuseOutsideTheApi(const httplib::Request& req, bool allowed, httplib::Response& res) {
  if (!allowed) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"IP-Symcon\"");
    res.set_content("401 Unauthorized: valid credentials are required\n", "text/plain");
    return true;
  }
  if (req.path != "/api/") {
    res.status = 404;
    res.set_content("404 Not Found\n", "text/plain");
    return true;
  }
  if (req.method != "POST") {
    res.status = 405;
    res.set_header("Allow", "POST");
    res.set_content("405 Method Not Allowed: the API takes POST requests\n", "text/plain");
    return true;
  }
  return false;
}

ConnectionEnd answerWithFault(const Fault& fault, const std::string& errorJson,
                              httplib::Response& res) {
  switch (fault.kind) {
    case FaultKind::ErrorReply:
      res.set_content(errorJson, "application/json");
      break;
    case FaultKind::HttpStatus:
      res.status = fault.status;
      res.set_content(fault.message + "\n", "text/plain");
      break;
    case FaultKind::EmptyBody:
      res.set_content("", "application/json");
      break;
    case FaultKind::NonJsonBody:
      res.set_content("<html><body>Internal error</body></html>", "application/json");
      break;
    case FaultKind::DropConnection:
      return ConnectionEnd::DropMidHeader;
    case FaultKind::CloseWithoutReply:
      return ConnectionEnd::CloseWithoutReply;
    case FaultKind::Delay:
      break;
  }
  return ConnectionEnd::Keep;
}

}  // namespace velmar::sim
