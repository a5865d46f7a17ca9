// Peak resident memory of one server call with a large reply, and of three at once, against a
// reference that only receives the same reply's bytes into one string. Prints one table; the
// figures are measured, not asserted.
//
// The server runs in a child process, so that the reply it holds is not counted here. The
// peak is the process's high-water mark (VmHWM), reset before each run through
// /proc/self/clear_refs, less the resident size before the run. Each figure is the best of
// three runs.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/json_rpc.h"
#include "core/error.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
// Just under the default reply limit of 32 MiB, envelope included.
constexpr std::size_t kStringBytes = 31 * kMiB;

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  return -1;
}

// The growth of the resident size while `run` runs, in KiB.
long PeakGrowthKb(const std::function<void()>& run) {
  std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the current VmRSS
  const long before = StatusKb("VmRSS");
  run();
  return StatusKb("VmHWM") - before;
}

// The reply to every request: a JSON-RPC result holding one string of kStringBytes, either
// plain letters or with an escape every 64 characters.
std::string Reply(bool escaped) {
  std::string text;
  text.reserve(kStringBytes + 16);
  while (text.size() < kStringBytes) text += escaped && text.size() % 64 == 0 ? "\\n" : "x";
  const std::string body = "{\"jsonrpc\":\"2.0\",\"result\":\"" + text + "\",\"id\":1}";
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

void ReadRequest(int fd, std::string& request) {
  char buffer[4096];
  for (;;) {
    const std::size_t head = request.find("\r\n\r\n");
    if (head != std::string::npos) {
      const std::size_t at = request.find("Content-Length: ");
      const std::size_t length = at == std::string::npos ? 0 : std::stoul(request.substr(at + 16));
      if (request.size() >= head + 4 + length) return;
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }
}

[[noreturn]] void Serve(int listener) {
  const std::string plain = Reply(false);
  const std::string escaped = Reply(true);
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread([fd, &plain, &escaped] {
      std::string request;
      ReadRequest(fd, request);
      const std::string& reply = request.find("[2]") != std::string::npos ? escaped : plain;
      std::size_t sent = 0;
      while (sent < reply.size()) {
        const ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      ::close(fd);
    }).detach();
  }
}

// The reference: the reply's bytes received into one string over a plain socket.
void ReceiveOnly(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw velmar::Error("reference: connect failed");
  const std::string request = "POST /api/ HTTP/1.1\r\nContent-Length: 3\r\n\r\n[1]";
  (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  reply.reserve(kStringBytes + 256);
  char buffer[16 * 1024];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
    reply.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  if (reply.size() < kStringBytes) throw velmar::Error("reference: short reply");
}

// One call, from the bytes to the JSON value; with `asText` the value's text is also copied
// out, as every consumer of a string result does.
void Call(int which, bool asText = false) {
  const velmar::api::JsonRef value = velmar::api::MakeRPCRequest("IPS_GetName", {which});
  if (value.DataType() != velmar::json::JsonType::stString) throw velmar::Error("not a string");
  if (asText && value.AsString().size() < kStringBytes / 2) throw velmar::Error("short value");
}

void ThreeAtOnce() {
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([] {
      velmar::api::InitializeRPCForThread();
      Call(1);
      velmar::api::FinalizeRPCForThread();
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace

int main() {
  // Large blocks always come from their own mappings and go back when freed: otherwise the
  // allocator keeps freed memory of one run resident and the next run reuses it unseen.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  mallopt(M_TRIM_THRESHOLD, 256 * 1024);
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 1;
  }
  const int port = ntohs(address.sin_port);
  const pid_t server = ::fork();
  if (server == 0) Serve(listener);
  ::close(listener);

  velmar::api::InitializeRPCModule();
  velmar::api::InitializeRPC("127.0.0.1", port, false, "", "");
  // Warm up: the first call loads and allocates what every later call reuses.
  ReceiveOnly(port);
  Call(1);

  const double body = static_cast<double>(kStringBytes) / kMiB;
  struct Row {
    const char* name;
    double replies;
    std::function<void()> run;
  };
  const Row rows[] = {
      {"reference: bytes only", 1, [port] { ReceiveOnly(port); }},
      {"one call, plain string", 1, [] { Call(1); }},
      {"one call, escapes", 1, [] { Call(2); }},
      {"one call, and its text", 1, [] { Call(1, true); }},
      {"three calls at once", 3, [] { ThreeAtOnce(); }},
  };
  std::printf("Peak resident growth of one reply of %.0f MiB (UTF-16 values are twice the bytes)\n",
              body);
  std::printf("%-26s%12s%16s%16s\n", "run", "peak MiB", "peak / bytes", "ratio to ref");
  double reference = 0;
  for (const Row& row : rows) {
    long best = -1;
    for (int round = 0; round < 3; ++round) {
      const long kb = PeakGrowthKb(row.run);
      if (best < 0 || kb < best) best = kb;
    }
    const double mib = static_cast<double>(best) / 1024;
    if (reference == 0) reference = mib;
    std::printf("%-26s%12.1f%16.2f%16.2f\n", row.name, mib, mib / (body * row.replies),
                mib / (reference * row.replies));
  }

  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);
  return 0;
}
