// A child process for end-to-end tests, in one of two forms:
// - a command under test (the constructor with argv): standard output and error piped to the
//   test, read without blocking the test beyond a given time, killed if still running when the
//   object is destroyed;
// - an agent (StartAgent): in a process group of its own, with exactly the environment given
//   and its output appended to a file; Stop() and the destructor end the whole group (SIGTERM,
//   then SIGKILL after a bounded wait) and reap it, so an agent never outlives its test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts argv[0] (a path) with the given arguments, its outputs piped to the test.
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads until standard output holds a complete line containing `needle` (returned in *line),
  // the output ends or `seconds` pass. Every line received so far is searched.
  bool WaitForLine(const std::string& needle, double seconds, std::string* line);

  void Signal(int sig);

  // Starts argv[0] as an agent (see above) after stopping any earlier one; false with *error
  // set when it cannot be started.
  bool StartAgent(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& output_path, std::string* error);
  // True while the child has not exited.
  bool Running();
  // Ends the child (its group, for an agent) and reaps it; safe to call more than once.
  void Stop();

  // Reads both outputs to their end and reaps the child within `seconds`, killing it after
  // that. Returns the exit status, 128 + the signal for a killed child, or -1 on time-out.
  int Finish(double seconds);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  // Reads what is available within `ms` milliseconds; false once both outputs have ended.
  bool Pump(int ms);

  pid_t pid_ = -1;
  bool own_group_ = false;
  int out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
};

// Runs a command to its end within `seconds`; returns its exit status as Finish does.
int RunProcess(const std::vector<std::string>& argv, double seconds, std::string* out,
               std::string* err);
