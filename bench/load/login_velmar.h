// A velmar with the users file and SSH, started by velmar-load itself so that each
// measurement begins with a fresh process (its peak memory among them).
#pragma once

#include <sys/types.h>

#include <string>

#include "load_args.h"

namespace velmar::load {

class LoginVelmar {
 public:
  // Starts it against the simulator of `args`; its stderr (audit lines) goes to NAME.err
  // beside the users file. Stops the program when it does not start.
  LoginVelmar(const Args& args, const std::string& name);
  ~LoginVelmar();
  LoginVelmar(const LoginVelmar&) = delete;
  LoginVelmar& operator=(const LoginVelmar&) = delete;

  int pid() const { return pid_; }
  int telnetPort() const { return telnetPort_; }
  int sshPort() const { return sshPort_; }

 private:
  void forget();
  std::string errors() const;

  pid_t pid_ = 0;
  int telnetPort_ = 0;
  int sshPort_ = 0;
  std::string errPath_;
};

}  // namespace velmar::load
