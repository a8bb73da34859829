// In-process console harness: feeds standard input from a text and captures standard output.
#pragma once

#include <string>

class ConsoleSession {
 public:
  // Standard input reads `input` and then ends; `assumeYes` sets -y. Console mode is on for the session.
  explicit ConsoleSession(const std::string& input, bool assumeYes = false);
  ~ConsoleSession();
  // Everything printed so far (ends the capture).
  std::string Output();

 private:
  int savedStdin_ = -1;
  bool capturing_ = false;
};
