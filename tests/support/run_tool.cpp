// SPDX-License-Identifier: BSD-2-Clause
#include "run_tool.h"
#include "report_check.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifndef TFTPCARVE_BINARY
#error "TFTPCARVE_BINARY must name the binary under test"
#endif

namespace capture_builder {

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> read_all(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const fs::path &path, const std::vector<std::uint8_t> &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// A temporary directory that is removed with everything in it.
class temp_dir {
 public:
  temp_dir() {
    std::string tmpl = (fs::temp_directory_path() / "tftpcarve-run-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = tmpl;
  }
  ~temp_dir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  const fs::path &path() const { return path_; }

 private:
  fs::path path_;
};

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

const char *tool_path() { return TFTPCARVE_BINARY; }

run_result run_tool(const std::vector<std::string> &args, const run_setup &setup) {
  temp_dir dir;
  for (const auto &[name, content] : setup.files) write_all(dir.path() / name, content);
  for (const auto &name : setup.dirs) fs::create_directories(dir.path() / name);
  for (const auto &[name, target] : setup.symlinks) fs::create_symlink(target, dir.path() / name);

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");

  std::vector<std::string> argv_text{setup.argv0};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string cwd = dir.path().string();

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (setup.open_files_limit) {
      const rlimit limit{static_cast<rlim_t>(*setup.open_files_limit), static_cast<rlim_t>(*setup.open_files_limit)};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    }
    if (setup.address_space_limit) {
      const rlimit limit{static_cast<rlim_t>(*setup.address_space_limit),
                         static_cast<rlim_t>(*setup.address_space_limit)};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
    }
    execv(TFTPCARVE_BINARY, argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  // Feed standard input while draining both outputs, so that neither side
  // blocks on a full pipe.
  const std::vector<std::uint8_t> input = setup.stdin_bytes.value_or(std::vector<std::uint8_t>{});
  std::size_t written = 0;
  int in_fd = in_pipe[1];
  signal(SIGPIPE, SIG_IGN);
  set_nonblocking(in_fd);
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  run_result result;
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(setup.timeout_seconds);
  bool killed = false;
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    const int ready = poll(fds, static_cast<nfds_t>(n), 100);
    if (std::chrono::steady_clock::now() > deadline && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (ready <= 0) continue;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        const ssize_t w = write(in_fd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN) written = input.size();
        if (written == input.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buf[65536];
      const ssize_t r = read(fds[i].fd, buf, sizeof buf);
      std::string &sink = fds[i].fd == out_fd ? result.out : result.err;
      if (r > 0) {
        sink.append(buf, static_cast<std::size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        close(fds[i].fd);
        (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;

  for (const auto &entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (entry.is_symlink()) {
      result.symlinks[name] = fs::read_symlink(entry.path()).string();
      continue;
    }
    if (!entry.is_regular_file()) continue;
    result.modes[name] = static_cast<unsigned>(fs::status(entry.path()).permissions()) & 07777u;
    auto content = read_all(entry.path());
    const auto placed = setup.files.find(name);
    if (placed == setup.files.end() || placed->second != content) result.files[name] = content;
    result.all_files[name] = std::move(content);
  }
  check_report(args, result);
  return result;
}

std::string as_text(const std::vector<std::uint8_t> &bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace capture_builder
