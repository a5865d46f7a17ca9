// The simulated server's replies besides the API's own answers.
#pragma once

#include <httplib.h>
#include <string>

#include "sim/fault.h"
#include "sim/http_server.h"

namespace velmar::sim {

// Answers with 401, 404 or 405 and returns true when the request does not reach the API
// (`allowed`: whether its credentials are the required ones).
bool refuseOutsideTheApi(const httplib::Request& req, bool allowed, httplib::Response& res);

// Answers with `fault` in place of the API's reply (a delay is over before this), the
// JSON-RPC error `errorJson` for an error reply; gives how the connection goes on.
ConnectionEnd answerWithFault(const Fault& fault, const std::string& errorJson,
                              httplib::Response& res);

}  // namespace velmar::sim
