// The pseudo-terminal on which the simulated board listens.
#pragma once

#include <string>

namespace boardsim {

// Raw, 8-bit, non-blocking master. The slave stays open here for the whole
// life of the object: a client may then open, close and reopen it any number
// of times without the master ever seeing a hang-up or EIO.
class Pty {
 public:
  // Throws std::runtime_error with the failing call and its reason.
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int Master() const { return FMaster; }
  const std::string& SlavePath() const { return FSlavePath; }

 private:
  int FMaster = -1;
  int FSlave = -1;
  std::string FSlavePath;
};

}  // namespace boardsim
