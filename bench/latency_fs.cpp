// A share far away that lets many requests through, for the bench: a
// read-only FUSE passthrough of a folder (libfuse 3, low-level API) that
// answers every request after a set delay, with up to --threads requests
// (256) under way at once, as the kernel's NFS and SMB clients keep many in
// flight. Each request is done when it comes and its answer held back until
// its delay is up, so the delays of requests in flight overlap: a round trip's
// latency, not a server's queue. It counts the requests it gets by kind and
// writes the counts when it is unmounted.
//
//   latency_fs [--counts FILE] [--threads N] [--attr-timeout SECONDS]
//              [--timeline FILE] DELAY_MS FOLDER MOUNT_POINT
//
// Runs in the foreground until the mount goes (fusermount3 -u MOUNT_POINT) or
// it gets SIGINT, SIGTERM or SIGHUP. The kernel caches names and attributes
// for a second (libfuse's default, and sshfs's) and gets the entries'
// attributes with the listing (readdirplus), as NFS and SMB clients do; the
// page cache works as on any FUSE mount. --attr-timeout 0 makes the kernel ask
// for a file's attributes every time, as NFS mounted noac does; --timeline
// FILE writes, every millisecond of the mount, how many requests were under
// way, to show how much of the 256 a run keeps busy. Built by bench/share.py:
//
//   g++ -std=c++20 -O2 bench/latency_fs.cpp $(pkg-config --cflags --libs fuse3) -o latency_fs
#define FUSE_USE_VERSION 312
#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The kinds of request counted, by the name the counts file gives them.
enum Kind {
  kLookup, kForget, kGetattr, kReadlink, kOpen, kRead, kFlush, kRelease, kOpendir, kReaddir,
  kReaddirplus, kReleasedir, kStatfs, kAccess, kGetxattr, kListxattr, kKinds
};
constexpr std::array<const char*, kKinds> kKindNames = {
    "lookup", "forget", "getattr", "readlink", "open", "read", "flush", "release", "opendir",
    "readdir", "readdirplus", "releasedir", "statfs", "access", "getxattr", "listxattr"};

constexpr double kCacheSeconds = 1.0;
// The threads that take the requests from the kernel and do them: a few keep
// up with thousands a second, and more let some wait for the disk meanwhile.
constexpr unsigned kWorkers = 8;

// A file or folder the kernel knows, held by a descriptor that opens nothing
// (O_PATH) until the kernel forgets it.
struct Node {
  int fd = -1;
  std::uint64_t lookups = 0;  // the kernel's references, under FileSystem::mutex
  std::pair<dev_t, ino_t> key;
};

// An open folder and where its listing stands.
struct Folder {
  DIR* dir = nullptr;
  off_t offset = 0;
  dirent* pending = nullptr;  // read, but not yet sent for want of room
};

// An answer held back until its delay is up.
struct HeldAnswer {
  std::chrono::steady_clock::time_point due;
  std::string bytes;  // as the kernel takes it, header first
};

struct FileSystem {
  std::chrono::microseconds delay{0};
  unsigned threads = 256;
  double attr_seconds = kCacheSeconds;  // how long the kernel keeps attributes
  std::atomic<unsigned> under_way{0};   // requests waiting out their delay, under `held_mutex`
  Node root;
  std::mutex mutex;  // guards `nodes` and every node's `lookups`, never held across a delay
  std::map<std::pair<dev_t, ino_t>, Node*> nodes;
  std::array<std::atomic<std::uint64_t>, kKinds> counts{};
  int device = -1;         // the mount's /dev/fuse
  std::mutex held_mutex;   // guards `held`, `stopping` and changes to `under_way`
  std::condition_variable answer_due;  // the sender waits here
  std::condition_variable room;        // requests wait here while --threads are under way
  std::deque<HeldAnswer> held;         // in the order the requests came
  bool stopping = false;
};

// When the request this thread is doing came, while its answer is not sent.
thread_local std::chrono::steady_clock::time_point request_came;
thread_local bool answer_to_hold = false;

FileSystem& Served(fuse_req_t request) {
  return *static_cast<FileSystem*>(fuse_req_userdata(request));
}

Node& NodeOf(FileSystem& fs, fuse_ino_t ino) {
  return ino == FUSE_ROOT_ID ? fs.root : *reinterpret_cast<Node*>(ino);
}

// Every request is counted, waits while --threads are under way, and is done
// at once; its answer is held back until its delay is up (HoldAnswer). A thread
// for each request that slept out its delay took some 80 us of the machine's
// processors a request (two thread switches and a timer, in a virtual
// machine), as much as the program it served, which a server elsewhere does
// not take.
FileSystem& Arrive(fuse_req_t request, Kind kind) {
  FileSystem& fs = Served(request);
  fs.counts[kind].fetch_add(1, std::memory_order_relaxed);
  std::unique_lock<std::mutex> lock(fs.held_mutex);
  fs.room.wait(lock, [&fs] { return fs.under_way.load() < fs.threads; });
  fs.under_way.fetch_add(1, std::memory_order_relaxed);
  request_came = std::chrono::steady_clock::now();
  answer_to_hold = true;
  return fs;
}

// libfuse's way to the kernel: the answer to a request that came through
// Arrive is held back until its delay is up; any other (the answer to the
// kernel's first request) goes at once.
ssize_t HoldAnswer(int device, iovec* parts, int count, void* data) {
  if (!answer_to_hold) return writev(device, parts, count);
  answer_to_hold = false;
  FileSystem& fs = *static_cast<FileSystem*>(data);
  HeldAnswer answer{request_came + fs.delay, {}};
  for (int i = 0; i < count; ++i) {
    answer.bytes.append(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
  }
  const auto length = static_cast<ssize_t>(answer.bytes.size());
  const std::lock_guard<std::mutex> lock(fs.held_mutex);
  fs.held.push_back(std::move(answer));
  if (fs.held.size() == 1) fs.answer_due.notify_one();
  return length;
}

ssize_t ReadRequest(int device, void* buffer, std::size_t size, void*) {
  return read(device, buffer, size);
}

// Sends the held answers in the order their requests came, each once its
// delay is up. One thread sends them all: a write each, which the kernel
// takes at once. It runs ahead of the program it serves for a processor
// where it may, as a server elsewhere does not wait for the client's.
void SendAnswers(FileSystem& fs) {
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
  std::unique_lock<std::mutex> lock(fs.held_mutex);
  for (;;) {
    if (fs.held.empty()) {
      if (fs.stopping) return;
      fs.answer_due.wait(lock);
      continue;
    }
    const auto due = fs.held.front().due;
    if (std::chrono::steady_clock::now() < due) {
      fs.answer_due.wait_until(lock, due);
      continue;
    }
    const std::string answer = std::move(fs.held.front().bytes);
    fs.held.pop_front();
    lock.unlock();
    // An answer the kernel no longer waits for (its request was interrupted)
    // is refused, as it would be on time.
    static_cast<void>(write(fs.device, answer.data(), answer.size()));
    lock.lock();
    fs.under_way.fetch_sub(1, std::memory_order_relaxed);
    fs.room.notify_one();
  }
}

// Finds `name` in the folder `parent` and takes a reference to it for the
// kernel; 0 or an errno.
int Find(FileSystem& fs, fuse_ino_t parent, const char* name, fuse_entry_param& entry) {
  entry = {};
  entry.entry_timeout = kCacheSeconds;
  entry.attr_timeout = fs.attr_seconds;
  const int fd = openat(NodeOf(fs, parent).fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  if (fstatat(fd, "", &entry.attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    close(fd);
    return error;
  }
  const std::pair<dev_t, ino_t> key{entry.attr.st_dev, entry.attr.st_ino};
  const std::lock_guard<std::mutex> lock(fs.mutex);
  auto [found, added] = fs.nodes.try_emplace(key, nullptr);
  if (added) {
    found->second = new Node{fd, 0, key};
  } else {
    close(fd);
  }
  ++found->second->lookups;
  entry.ino = found->second == &fs.root ? FUSE_ROOT_ID : reinterpret_cast<fuse_ino_t>(found->second);
  return 0;
}

void Drop(FileSystem& fs, fuse_ino_t ino, std::uint64_t count) {
  Node& node = NodeOf(fs, ino);
  const std::lock_guard<std::mutex> lock(fs.mutex);
  node.lookups = node.lookups > count ? node.lookups - count : 0;
  if (node.lookups > 0 || &node == &fs.root) return;
  fs.nodes.erase(node.key);
  close(node.fd);
  delete &node;
}

void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  FileSystem& fs = Arrive(request, kLookup);
  fuse_entry_param entry;
  const int error = Find(fs, parent, name, entry);
  if (error != 0) {
    fuse_reply_err(request, error);
  } else {
    fuse_reply_entry(request, &entry);
  }
}

// Forgetting needs no answer, so it has no round trip to wait for.
void Forget(fuse_req_t request, fuse_ino_t ino, std::uint64_t count) {
  FileSystem& fs = Served(request);
  fs.counts[kForget].fetch_add(1, std::memory_order_relaxed);
  Drop(fs, ino, count);
  fuse_reply_none(request);
}

void ForgetMany(fuse_req_t request, std::size_t count, fuse_forget_data* forgets) {
  FileSystem& fs = Served(request);
  fs.counts[kForget].fetch_add(count, std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) Drop(fs, forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(request);
}

void Getattr(fuse_req_t request, fuse_ino_t ino, fuse_file_info*) {
  FileSystem& fs = Arrive(request, kGetattr);
  struct stat attributes;
  if (fstatat(NodeOf(fs, ino).fd, "", &attributes, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
    fuse_reply_err(request, errno);
    return;
  }
  fuse_reply_attr(request, &attributes, fs.attr_seconds);
}

void Readlink(fuse_req_t request, fuse_ino_t ino) {
  FileSystem& fs = Arrive(request, kReadlink);
  char target[PATH_MAX + 1];
  const ssize_t length = readlinkat(NodeOf(fs, ino).fd, "", target, PATH_MAX);
  if (length < 0) {
    fuse_reply_err(request, errno);
    return;
  }
  target[length] = '\0';
  fuse_reply_readlink(request, target);
}

// A node's own descriptor opens nothing: it is opened for reading through /proc.
int OpenForReading(const Node& node, int flags) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", node.fd);
  return open(path, flags | O_RDONLY | O_CLOEXEC);
}

void Open(fuse_req_t request, fuse_ino_t ino, fuse_file_info* info) {
  FileSystem& fs = Arrive(request, kOpen);
  if ((info->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(request, EROFS);
    return;
  }
  const int fd = OpenForReading(NodeOf(fs, ino), 0);
  if (fd < 0) {
    fuse_reply_err(request, errno);
    return;
  }
  info->fh = static_cast<std::uint64_t>(fd);
  if (fuse_reply_open(request, info) != 0) close(fd);
}

void Read(fuse_req_t request, fuse_ino_t, std::size_t size, off_t offset, fuse_file_info* info) {
  Arrive(request, kRead);
  fuse_bufvec data{};
  data.count = 1;
  data.buf[0].size = size;
  data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  data.buf[0].fd = static_cast<int>(info->fh);
  data.buf[0].pos = offset;
  fuse_reply_data(request, &data, FUSE_BUF_SPLICE_MOVE);
}

void Release(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
  Arrive(request, kRelease);
  close(static_cast<int>(info->fh));
  fuse_reply_err(request, 0);
}

void Opendir(fuse_req_t request, fuse_ino_t ino, fuse_file_info* info) {
  FileSystem& fs = Arrive(request, kOpendir);
  const int fd = OpenForReading(NodeOf(fs, ino), O_DIRECTORY);
  DIR* const dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    const int error = errno;
    if (fd >= 0) close(fd);
    fuse_reply_err(request, error);
    return;
  }
  info->fh = reinterpret_cast<std::uint64_t>(new Folder{dir, 0, nullptr});
  if (fuse_reply_open(request, info) != 0) {
    closedir(dir);
    delete reinterpret_cast<Folder*>(info->fh);
  }
}

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Lists as many entries as fit in `size` bytes from `offset` on; with `plus`,
// each with its attributes and a reference for the kernel, as lookup gives.
void List(fuse_req_t request, fuse_ino_t ino, std::size_t size, off_t offset,
          fuse_file_info* info, bool plus) {
  FileSystem& fs = Arrive(request, plus ? kReaddirplus : kReaddir);
  Folder& folder = *reinterpret_cast<Folder*>(info->fh);
  if (offset != folder.offset) {
    seekdir(folder.dir, offset);
    folder.offset = offset;
    folder.pending = nullptr;
  }
  const std::unique_ptr<char[]> buffer(new char[size]);
  std::size_t used = 0;
  for (;;) {
    if (folder.pending == nullptr) {
      errno = 0;
      folder.pending = readdir(folder.dir);
      if (folder.pending == nullptr) {
        if (errno != 0 && used == 0) {
          fuse_reply_err(request, errno);
          return;
        }
        break;
      }
    }
    const dirent& entry = *folder.pending;
    std::size_t length;
    if (plus) {
      fuse_entry_param found{};
      if (IsDotOrDotDot(entry.d_name) || Find(fs, ino, entry.d_name, found) != 0) {
        found = {};
        found.attr.st_ino = entry.d_ino;
        found.attr.st_mode = static_cast<mode_t>(DTTOIF(entry.d_type));
      }
      length = fuse_add_direntry_plus(request, buffer.get() + used, size - used, entry.d_name,
                                      &found, entry.d_off);
      if (length > size - used) {
        if (found.ino != 0) Drop(fs, found.ino, 1);
        break;
      }
    } else {
      struct stat attributes {};
      attributes.st_ino = entry.d_ino;
      attributes.st_mode = static_cast<mode_t>(DTTOIF(entry.d_type));
      length = fuse_add_direntry(request, buffer.get() + used, size - used, entry.d_name,
                                 &attributes, entry.d_off);
      if (length > size - used) break;
    }
    used += length;
    folder.offset = entry.d_off;
    folder.pending = nullptr;
  }
  fuse_reply_buf(request, buffer.get(), used);
}

void Readdir(fuse_req_t request, fuse_ino_t ino, std::size_t size, off_t offset,
             fuse_file_info* info) {
  List(request, ino, size, offset, info, false);
}

void Readdirplus(fuse_req_t request, fuse_ino_t ino, std::size_t size, off_t offset,
                 fuse_file_info* info) {
  List(request, ino, size, offset, info, true);
}

void Releasedir(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
  Arrive(request, kReleasedir);
  auto* const folder = reinterpret_cast<Folder*>(info->fh);
  closedir(folder->dir);
  delete folder;
  fuse_reply_err(request, 0);
}

void Statfs(fuse_req_t request, fuse_ino_t ino) {
  FileSystem& fs = Arrive(request, kStatfs);
  struct statvfs usage;
  if (fstatvfs(NodeOf(fs, ino).fd, &usage) != 0) {
    fuse_reply_err(request, errno);
    return;
  }
  fuse_reply_statfs(request, &usage);
}

// Requests a read-only share has no use for, answered as a server without
// them answers, after the same delay; the kernel then stops sending them.
void Flush(fuse_req_t request, fuse_ino_t, fuse_file_info*) {
  Arrive(request, kFlush);
  fuse_reply_err(request, ENOSYS);
}

void Access(fuse_req_t request, fuse_ino_t, int) {
  Arrive(request, kAccess);
  fuse_reply_err(request, ENOSYS);
}

void Getxattr(fuse_req_t request, fuse_ino_t, const char*, std::size_t) {
  Arrive(request, kGetxattr);
  fuse_reply_err(request, ENOSYS);
}

void Listxattr(fuse_req_t request, fuse_ino_t, std::size_t) {
  Arrive(request, kListxattr);
  fuse_reply_err(request, ENOSYS);
}

// Many requests go to the server at once: the readahead of every reader
// included, which the kernel sends in the background, up to this limit.
void Init(void* data, fuse_conn_info* connection) {
  const FileSystem& fs = *static_cast<FileSystem*>(data);
  connection->max_background = fs.threads;
  connection->congestion_threshold = fs.threads * 3 / 4;
}

void WriteCounts(const FileSystem& fs, const char* path) {
  FILE* const out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    return;
  }
  for (std::size_t kind = 0; kind < kKinds; ++kind) {
    std::fprintf(out, "%s %llu\n", kKindNames[kind],
                 static_cast<unsigned long long>(fs.counts[kind].load()));
  }
  std::fclose(out);
}

// Samples the requests under way every millisecond until `done`, and writes
// them to `path`, one "MILLISECOND UNDER_WAY" line each, from the first
// request on.
void RecordTimeline(const FileSystem& fs, const std::atomic<bool>& done, const char* path) {
  std::vector<unsigned> samples;
  auto next = std::chrono::steady_clock::now();
  while (!done.load()) {
    const unsigned now = fs.under_way.load(std::memory_order_relaxed);
    if (now > 0 || !samples.empty()) samples.push_back(now);
    next += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next);
  }
  FILE* const out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    return;
  }
  for (std::size_t ms = 0; ms < samples.size(); ++ms) std::fprintf(out, "%zu %u\n", ms, samples[ms]);
  std::fclose(out);
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: latency_fs [--counts FILE] [--threads N] [--attr-timeout SECONDS]\n"
               "                  [--timeline FILE] DELAY_MS FOLDER MOUNT_POINT\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  FileSystem fs;
  const char* counts_path = nullptr;
  const char* timeline_path = nullptr;
  int arg = 1;
  for (; arg + 1 < argc && argv[arg][0] == '-'; arg += 2) {
    if (std::strcmp(argv[arg], "--counts") == 0) {
      counts_path = argv[arg + 1];
    } else if (std::strcmp(argv[arg], "--threads") == 0) {
      fs.threads = static_cast<unsigned>(std::atoi(argv[arg + 1]));
    } else if (std::strcmp(argv[arg], "--attr-timeout") == 0) {
      fs.attr_seconds = std::atof(argv[arg + 1]);
    } else if (std::strcmp(argv[arg], "--timeline") == 0) {
      timeline_path = argv[arg + 1];
    } else {
      Usage();
    }
  }
  if (argc - arg != 3 || fs.threads == 0) Usage();
  fs.delay = std::chrono::microseconds(static_cast<long long>(std::atof(argv[arg]) * 1000));
  const char* const folder = argv[arg + 1];
  const char* const mount_point = argv[arg + 2];

  // Timers fire on time, without the kernel's default slack of 50 us; and a
  // descriptor is held for every node the kernel knows.
  prctl(PR_SET_TIMERSLACK, 1);
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  fs.root.fd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat root;
  if (fs.root.fd < 0 || fstat(fs.root.fd, &root) != 0) {
    std::perror(folder);
    return 1;
  }
  fs.root.key = {root.st_dev, root.st_ino};
  fs.root.lookups = 1;
  fs.nodes[fs.root.key] = &fs.root;

  fuse_lowlevel_ops operations{};
  operations.init = Init;
  operations.lookup = Lookup;
  operations.forget = Forget;
  operations.forget_multi = ForgetMany;
  operations.getattr = Getattr;
  operations.readlink = Readlink;
  operations.open = Open;
  operations.read = Read;
  operations.flush = Flush;
  operations.release = Release;
  operations.opendir = Opendir;
  operations.readdir = Readdir;
  operations.readdirplus = Readdirplus;
  operations.releasedir = Releasedir;
  operations.statfs = Statfs;
  operations.access = Access;
  operations.getxattr = Getxattr;
  operations.listxattr = Listxattr;

  char program[] = "latency_fs";
  char option[] = "-o";
  char options[] = "ro,fsname=latency_fs,subtype=latency_fs";
  char* fuse_argv[] = {program, option, options, nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
  fuse_session* const session = fuse_session_new(&args, &operations, sizeof operations, &fs);
  if (session == nullptr) return 1;
  int status = 1;
  std::atomic<bool> done{false};
  std::thread timeline;
  if (timeline_path != nullptr) {
    timeline = std::thread(RecordTimeline, std::cref(fs), std::cref(done), timeline_path);
  }
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, mount_point) == 0) {
      fs.device = fuse_session_fd(session);
      const fuse_custom_io io = {HoldAnswer, ReadRequest, nullptr, nullptr};
      if (fuse_session_custom_io(session, &io, fs.device) == 0) {
        std::thread sender(SendAnswers, std::ref(fs));
        fuse_loop_config* const loop = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(loop, kWorkers);
        fuse_loop_cfg_set_idle_threads(loop, kWorkers);
        status = fuse_session_loop_mt(session, loop) >= 0 ? 0 : 1;
        fuse_loop_cfg_destroy(loop);
        {
          const std::lock_guard<std::mutex> lock(fs.held_mutex);
          fs.stopping = true;
        }
        fs.answer_due.notify_all();
        sender.join();
      } else {
        std::fprintf(stderr, "latency_fs: libfuse cannot hold answers back\n");
      }
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  done = true;
  if (timeline.joinable()) timeline.join();
  if (counts_path != nullptr) WriteCounts(fs, counts_path);
  return status;
}
