#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

Clock::time_point After(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  std::vector<char*> args;  // built before fork: the child may only make async-signal-safe calls
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (own_group_) {
    Stop();
  } else if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

bool ChildProcess::Pump(int ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  if (poll(fds, 2, ms) <= 0) return true;
  int* fd_of[2] = {&out_fd_, &err_fd_};
  std::string* text_of[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      text_of[i]->append(buffer, static_cast<size_t>(n));
    } else {
      close(*fd_of[i]);
      *fd_of[i] = -1;
    }
  }
  return true;
}

bool ChildProcess::WaitForLine(const std::string& needle, double seconds, std::string* line) {
  const Clock::time_point deadline = After(seconds);
  for (size_t searched = 0;;) {
    for (size_t end; (end = out_.find('\n', searched)) != std::string::npos; searched = end + 1) {
      const std::string candidate = out_.substr(searched, end - searched);
      if (candidate.find(needle) != std::string::npos) {
        *line = candidate;
        return true;
      }
    }
    if (Clock::now() >= deadline || !Pump(MsLeft(deadline))) return false;
  }
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int ChildProcess::Finish(double seconds) {
  if (pid_ <= 0) return -1;
  const Clock::time_point deadline = After(seconds);
  while (Clock::now() < deadline && Pump(MsLeft(deadline))) {
  }
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
    usleep(10000);
  }
  if (done != pid_) return -1;  // the destructor kills it
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool ChildProcess::StartAgent(const std::vector<std::string>& argv,
                              const std::vector<std::string>& env, const std::string& output_path,
                              std::string* error) {
  Stop();
  // Everything the child needs is prepared before fork: after it, the child only calls
  // async-signal-safe functions.
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) {
    *error = "cannot open " + output_path + ": " + std::strerror(errno);
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    close(out);
    return false;
  }
  if (pid == 0) {
    setpgid(0, 0);
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);  // also from the parent, so the group exists before Stop can signal it
  close(out);
  pid_ = pid;
  own_group_ = true;
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  const pid_t pid = pid_;
  if (own_group_) kill(-pid, SIGTERM);
  kill(pid, SIGTERM);
  const Clock::time_point end = After(3);
  while (Running() && Clock::now() < end) usleep(10000);
  if (pid_ > 0) {
    if (own_group_) kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid_ = -1;
  }
}

int RunProcess(const std::vector<std::string>& argv, double seconds, std::string* out,
               std::string* err) {
  ChildProcess child(argv);
  const int status = child.Finish(seconds);
  if (out != nullptr) *out = child.out();
  if (err != nullptr) *err = child.err();
  return status;
}
