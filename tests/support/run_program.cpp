#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

const char* const kBanner = "\r\nKestrane Version 1.6\r\n            Type kestrane -? for help\r\n\r\n";

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::vector<std::string> BuildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  auto set = [&](const std::string& entry) {
    std::string name = entry.substr(0, entry.find('='));
    for (auto& existing : env) {
      if (existing.compare(0, name.size() + 1, name + "=") == 0) {
        existing = entry;
        return;
      }
    }
    env.push_back(entry);
  };
  set("TZ=UTC");
  for (const auto& entry : extra) set(entry);
  return env;
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProgramOptions& options) {
  ProgramResult result;
  std::vector<std::string> env = BuildEnvironment(options.env);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
  if (pipe(inPipe) != 0 || pipe(outPipe) != 0) return result;
  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(outPipe[1], 2);
    close(inPipe[0]);
    close(inPipe[1]);
    close(outPipe[0]);
    close(outPipe[1]);
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  int writeFd = inPipe[1];
  int readFd = outPipe[0];
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (options.input.empty()) {
    close(writeFd);
    writeFd = -1;
  }
  double deadline = Now() + options.timeoutSeconds;
  char buffer[65536];
  for (;;) {
    pollfd fds[2];
    int n = 0;
    fds[n++] = {readFd, POLLIN, 0};
    bool writing = writeFd >= 0 && written < options.input.size();
    if (writing) fds[n++] = {writeFd, POLLOUT, 0};
    int left = static_cast<int>((deadline - Now()) * 1000);
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, n, left > 200 ? 200 : left) < 0 && errno != EINTR) break;
    bool ended = false;
    for (int i = 0; i < n; ++i) {
      if (fds[i].fd == readFd && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t got = read(readFd, buffer, sizeof buffer);
        if (got > 0)
          result.out.append(buffer, static_cast<size_t>(got));
        else if (!(fds[i].revents & POLLIN) || got <= 0)
          ended = true;
      }
      if (writing && (fds[i].revents & POLLOUT)) {
        ssize_t put = write(writeFd, options.input.data() + written, options.input.size() - written);
        if (put > 0) written += static_cast<size_t>(put);
        if (put < 0 || written == options.input.size()) {
          close(writeFd);
          writeFd = -1;
        }
      }
    }
    if (ended) break;
  }
  if (writeFd >= 0) close(writeFd);
  close(readFd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ProgramResult RunKestrane(const std::vector<std::string>& args, const ProgramOptions& options) {
  return RunProgram(KESTRANE_BIN, args, options);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string MakeTestFolder(const std::string& name) {
  std::filesystem::path path = std::filesystem::path(KESTRANE_BUILD_DIR) / "test-output" / name;
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path.string();
}

namespace {

// Every test runs with times in UTC, whoever starts the test binary.
struct UtcForTests {
  UtcForTests() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
} g_utcForTests;

}  // namespace

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

ProgramResult RunShell(const std::string& command) { return RunProgram("/bin/sh", {"-c", command}); }
