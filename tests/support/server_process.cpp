#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace media::test {
namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error sys_error(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string servers_dir() { return std::string(MEDIA_SOURCE_DIR) + "/tests/servers/"; }

// Returns true once the child has been reaped, waiting at most `limit`.
bool reap_within(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (true) {
    const pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The spawned child starts a fresh process group and default signal handling,
// whatever the test runner had ignored or blocked.
pid_t spawn(const std::vector<std::string>& argv, int stdout_fd, const std::string& stderr_log) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
  if (!stderr_log.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  sigset_t empty;
  sigset_t defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    throw sys_error("cannot spawn " + argv[0]);
  }
  return pid;
}

}  // namespace

ServerProcess::~ServerProcess() { stop(); }

ServerProcess::ServerProcess(ServerProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      port_(std::exchange(other.port_, 0)),
      stdout_fd_(std::exchange(other.stdout_fd_, -1)) {}

ServerProcess& ServerProcess::operator=(ServerProcess&& other) noexcept {
  if (this != &other) {
    stop();
    pid_ = std::exchange(other.pid_, -1);
    port_ = std::exchange(other.port_, 0);
    stdout_fd_ = std::exchange(other.stdout_fd_, -1);
  }
  return *this;
}

void ServerProcess::start(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                          const std::string& stderr_log) {
  if (argv.empty()) throw std::invalid_argument("ServerProcess::start: empty argv");
  stop();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw sys_error("pipe2");
  try {
    pid_ = spawn(argv, fds[1], stderr_log);
  } catch (...) {
    close(fds[0]);
    close(fds[1]);
    throw;
  }
  close(fds[1]);
  stdout_fd_ = fds[0];

  const auto deadline = Clock::now() + timeout;
  std::string pending;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      stop();
      throw std::runtime_error(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") +
                               ": no READY line within " + std::to_string(timeout.count()) +
                               " ms");
    }
    pollfd pfd{stdout_fd_, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      const auto error = sys_error("poll");
      stop();
      throw error;
    }
    if (ready == 0) continue;
    char buf[512];
    const ssize_t n = read(stdout_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      stop();
      throw std::runtime_error(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") +
                               ": exited before printing READY");
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (line.rfind("READY ", 0) == 0) {
        port_ = std::stoi(line.substr(6));
        return;
      }
    }
  }
}

void ServerProcess::stop() {
  if (pid_ > 0) {
    // Negative pid: the whole group, so grandchildren go too.
    kill(-pid_, SIGTERM);
    if (!reap_within(pid_, std::chrono::seconds(3))) {
      kill(-pid_, SIGKILL);
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    // The leader is gone; whatever is left in its group ignored SIGTERM or
    // was orphaned mid-exit. Give init a moment to reap it so callers can
    // rely on the group being empty.
    for (int i = 0; i < 50 && kill(-pid_, 0) == 0; ++i) {
      kill(-pid_, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
  }
  port_ = 0;
  if (stdout_fd_ >= 0) {
    close(stdout_fd_);
    stdout_fd_ = -1;
  }
}

int free_tcp_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw sys_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    throw sys_error("bind 127.0.0.1:0");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

std::string test_media_path(const std::string& name) {
  return std::string(MEDIA_TEST_MEDIA_DIR) + "/" + name;
}

ServerProcess start_rtsp_server(int port, const std::vector<std::string>& extra_args) {
  std::vector<std::string> argv{"/usr/bin/python3", servers_dir() + "rtsp_server.py", "--port",
                                std::to_string(port)};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  ServerProcess server;
  server.start(argv, std::chrono::seconds(30));
  return server;
}

ServerProcess start_rtmp_server(const std::string& input_mp4) {
  ServerProcess server;
  // Startup waits for the stream to play, which takes a few seconds.
  server.start({"/bin/bash", servers_dir() + "rtmp_server.sh", "0", "-", input_mp4},
               std::chrono::seconds(60));
  return server;
}

ServerProcess start_misbehaving_server(const std::string& mode) {
  ServerProcess server;
  server.start({"/usr/bin/python3", servers_dir() + "misbehaving_server.py", "--mode", mode},
               std::chrono::seconds(15));
  return server;
}

ServerProcess start_fault_proxy(int upstream_port, const std::string& fault, std::chrono::seconds outage,
                                const std::string& only) {
  std::vector<std::string> argv = {"/usr/bin/python3", servers_dir() + "fault_proxy.py", "--upstream",
                                   std::to_string(upstream_port), "--fault", fault, "--outage",
                                   std::to_string(outage.count())};
  if (!only.empty()) {
    argv.insert(argv.end(), {"--only", only});
  }
  ServerProcess proxy;
  proxy.start(argv, std::chrono::seconds(30));
  return proxy;
}

void strike(const ServerProcess& proxy) {
  if (!proxy.running() || kill(proxy.pid(), SIGUSR1) != 0) {
    throw std::runtime_error("cannot signal the fault proxy");
  }
}

}  // namespace media::test
