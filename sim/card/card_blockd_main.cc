// card_blockd: the SD card's block devices inside the board's sandbox, as the kernel's MMC
// driver would give them.
//
//   card_blockd IMAGE -- COMMAND [ARG...]
//
// A small FUSE file system of the board (mounted on /run/board/blk) serves the card image as
// the file mmcblk0 and each partition of its MS-DOS table as mmcblk0pN: a window on the image
// at the partition's offset, so fdisk, mkfs.vfat, fsck.fat and fusefat work on the card itself.
// /dev/mmcblk0 and /dev/mmcblk0pN are links to them. As the kernel does when fdisk writes a
// table, the table is read again when the whole card is closed after a write, and the
// partition nodes appear or vanish with it.
//
// The board drives the card through /run/board/card/control, one line of words: "slot=in" or
// "slot=out" (card pulled: the nodes vanish and I/O on files still open fails), "name=SD32G"
// (the card's product name for the kernel lines), "ro=1,2" (write-protected partitions) and
// "cut=P:BYTES" (the power goes once BYTES more have been written to partition P: the write
// that reaches the count is cut there, the writer is held and the file "cut" in the state
// folder tells the board).
// Kernel lines the card causes are appended to /run/board/card/kmsg, which dmesg shows.
//
// Once the file system is served, the program runs COMMAND in its place (camera_app); the
// server goes on in a child process until the power is cut.
// The loop configuration of libfuse 3.12 and later: with an older FUSE_USE_VERSION the library
// reads this configuration as its older layout, clones /dev/fuse for every worker and ends each
// worker after one request, so every request of fusefat's would start a thread.
#define FUSE_USE_VERSION 312

#include <fcntl.h>
#include <fuse.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/card/card_layout.h"
#include "sim/card/card_mounts.h"

namespace {

using sim::card::kernel_line;
using sim::card::Partition;

constexpr char kMountPoint[] = "/run/board/blk";
constexpr char kWholeCard[] = "mmcblk0";

struct CardState {
  std::string image;
  int fd = -1;
  uint64_t size = 0;

  std::mutex mutex;  // guards the fields below
  bool present = false;
  std::string name = "SD";
  std::set<int> readOnly;
  std::vector<Partition> partitions;
  std::string lastControl;
  // A power cut armed by the board ("cut=P:BYTES"): the partition, what it still takes, and
  // whether the cut was reported.
  int cutPartition = 0;
  uint64_t cutLeft = 0;
  std::string cutWord;
  bool cutReported = false;
};

CardState g_card;

// What an open file stands for: the whole card (number 0) or one partition.
struct OpenNode {
  int number = 0;
  uint64_t start = 0;
  uint64_t size = 0;
  bool written = false;
  uint64_t generation = 0;
};
std::atomic<uint64_t> g_generation{1};  // moves on at every pull, so old descriptors fail

// The node name of a path ("/mmcblk0p2" -> 2, "/mmcblk0" -> 0); -1 for anything else.
int node_number(const char* path) {
  if (path[0] != '/' || strncmp(path + 1, kWholeCard, strlen(kWholeCard)) != 0) {
    return -1;
  }
  const char* rest = path + 1 + strlen(kWholeCard);
  if (*rest == '\0') {
    return 0;
  }
  if (rest[0] == 'p' && rest[1] >= '1' && rest[1] <= '9' && rest[2] == '\0') {
    return rest[1] - '0';
  }
  return -1;
}

// The node's window on the image, under the lock. False when the node does not exist now.
bool find_node(int number, OpenNode* ret_node) {
  if (!g_card.present || number < 0) {
    return false;
  }
  if (number == 0) {
    *ret_node = OpenNode{0, 0, g_card.size};
    return true;
  }
  for (const Partition& partition : g_card.partitions) {
    if (partition.number == number) {
      const uint64_t end = std::min(partition.start + partition.size, g_card.size);
      *ret_node =
          OpenNode{number, partition.start, end > partition.start ? end - partition.start : 0};
      return true;
    }
  }
  return false;
}

std::string partition_list() {
  std::string list;
  for (const Partition& partition : g_card.partitions) {
    list += " p" + std::to_string(partition.number);
  }
  return list;
}

// Makes /dev agree with the card: the whole card while it is in, a node per partition.
void sync_dev_nodes() {
  for (int number = 0; number <= 9; ++number) {
    const std::string name =
        std::string(kWholeCard) + (number == 0 ? "" : "p" + std::to_string(number));
    OpenNode node;
    const bool wanted = find_node(number, &node);
    const std::string dev = "/dev/" + name;
    struct stat st {};
    const bool there = lstat(dev.c_str(), &st) == 0;
    if (wanted && !there) {
      if (symlink((std::string(kMountPoint) + "/" + name).c_str(), dev.c_str()) != 0) {
        fprintf(stderr, "card_blockd: cannot make %s: %s\n", dev.c_str(), strerror(errno));
      }
    } else if (!wanted && there) {
      unlink(dev.c_str());
    }
  }
}

// Reads the table again, as the kernel does after BLKRRPART. Under the lock.
void reread_table() {
  std::vector<Partition> partitions;
  if (sim::card::read_partition_table(g_card.fd, &partitions) != 0) {
    partitions.clear();
  }
  g_card.partitions = partitions;
  sync_dev_nodes();
  kernel_line(std::string(" ") + kWholeCard + ":" + partition_list());
}

void apply_control(const std::string& line) {
  std::istringstream words(line);
  bool present = false;
  std::set<int> readOnly;
  std::string name = g_card.name;
  std::string cut;
  for (std::string word; words >> word;) {
    if (word.rfind("cut=", 0) == 0) {
      cut = word;
    } else if (word == "slot=in") {
      present = true;
    } else if (word.rfind("name=", 0) == 0) {
      name = word.substr(5);
    } else if (word.rfind("ro=", 0) == 0) {
      std::istringstream numbers(word.substr(3));
      for (std::string number; std::getline(numbers, number, ',');) {
        if (!number.empty()) {
          readOnly.insert(atoi(number.c_str()));
        }
      }
    }
  }
  g_card.readOnly = readOnly;
  g_card.name = name;
  if (cut != g_card.cutWord) {
    g_card.cutWord = cut;
    unsigned long long bytes = 0;
    int partition = 0;
    if (sscanf(cut.c_str(), "cut=%d:%llu", &partition, &bytes) != 2) {
      partition = 0;
    }
    g_card.cutPartition = partition;
    g_card.cutLeft = bytes;
  }
  if (present == g_card.present) {
    return;
  }
  g_card.present = present;
  if (!present) {
    ++g_generation;
    kernel_line("mmc0: card aaaa removed");
    g_card.partitions.clear();
    sync_dev_nodes();
    return;
  }
  char gib[32];
  snprintf(gib, sizeof gib, "%.1f GiB", static_cast<double>(g_card.size) / (1u << 30));
  kernel_line("mmc0: new high speed SDHC card at address aaaa");
  kernel_line(std::string(kWholeCard) + ": mmc0:aaaa " + name + " " + gib);
  reread_table();
}

// Looks at the board's control line; called at start and whenever the state folder changes.
void poll_control() {
  std::ifstream file(std::string(sim::card::kCardStateDir) + "/control");
  std::string line;
  std::getline(file, line);
  std::lock_guard lock(g_card.mutex);
  if (line != g_card.lastControl) {
    g_card.lastControl = line;
    apply_control(line);
  }
}

int card_getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  (void)fi;
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  std::lock_guard lock(g_card.mutex);
  OpenNode node;
  if (!find_node(node_number(path), &node)) {
    return -ENOENT;
  }
  st->st_mode = S_IFREG | (g_card.readOnly.count(node.number) != 0 ? 0440 : 0660);
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(node.size);
  st->st_blksize = 4096;
  st->st_blocks = static_cast<blkcnt_t>(node.size / 512);
  return 0;
}

int card_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                 fuse_file_info* fi, fuse_readdir_flags flags) {
  (void)offset;
  (void)fi;
  (void)flags;
  if (strcmp(path, "/") != 0) {
    return -ENOTDIR;
  }
  fill(buffer, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
  fill(buffer, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
  std::lock_guard lock(g_card.mutex);
  if (g_card.present) {
    fill(buffer, kWholeCard, nullptr, 0, FUSE_FILL_DIR_PLUS);
    for (const Partition& partition : g_card.partitions) {
      const std::string name = std::string(kWholeCard) + "p" + std::to_string(partition.number);
      fill(buffer, name.c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS);
    }
  }
  return 0;
}

int card_open(const char* path, fuse_file_info* fi) {
  std::lock_guard lock(g_card.mutex);
  OpenNode node;
  if (!g_card.present) {
    return -ENOMEDIUM;
  }
  if (!find_node(node_number(path), &node)) {
    return -ENXIO;
  }
  if ((fi->flags & O_ACCMODE) != O_RDONLY && g_card.readOnly.count(node.number) != 0) {
    return -EROFS;
  }
  node.generation = g_generation;
  fi->fh = reinterpret_cast<uint64_t>(new OpenNode(node));
  return 0;
}

OpenNode* node_of(fuse_file_info* fi) {
  return reinterpret_cast<OpenNode*>(fi->fh);
}

int card_read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  (void)path;
  const OpenNode* node = node_of(fi);
  if (node->generation != g_generation) {
    return -EIO;
  }
  if (offset < 0 || static_cast<uint64_t>(offset) >= node->size) {
    return 0;
  }
  size = static_cast<size_t>(std::min<uint64_t>(size, node->size - static_cast<uint64_t>(offset)));
  const ssize_t got = pread(g_card.fd, buffer, size, static_cast<off_t>(node->start) + offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

// The power is going: tells the board once, then holds the writer until the power is gone.
[[noreturn]] void lose_power() {
  {
    std::lock_guard lock(g_card.mutex);
    if (!g_card.cutReported) {
      g_card.cutReported = true;
      std::ofstream(std::string(sim::card::kCardStateDir) + "/cut") << "power cut\n";
    }
  }
  for (;;) {
    pause();
  }
}

// How much of a write to `number` reaches the card before an armed power cut; `size` when
// none is armed on it.
size_t take_before_cut(int number, size_t size, bool* ret_cut) {
  std::lock_guard lock(g_card.mutex);
  *ret_cut = false;
  if (g_card.cutPartition == 0 || g_card.cutPartition != number) {
    return size;
  }
  if (size >= g_card.cutLeft) {
    *ret_cut = true;
    size = static_cast<size_t>(g_card.cutLeft);
  }
  g_card.cutLeft -= size;
  return size;
}

int card_write(const char* path, const char* buffer, size_t size, off_t offset,
               fuse_file_info* fi) {
  (void)path;
  OpenNode* node = node_of(fi);
  if (node->generation != g_generation) {
    return -EIO;
  }
  if (offset < 0 || static_cast<uint64_t>(offset) >= node->size) {
    return -ENOSPC;
  }
  size = static_cast<size_t>(std::min<uint64_t>(size, node->size - static_cast<uint64_t>(offset)));
  bool cut = false;
  size = take_before_cut(node->number, size, &cut);
  const ssize_t put =
      size == 0 ? 0 : pwrite(g_card.fd, buffer, size, static_cast<off_t>(node->start) + offset);
  if (cut) {
    lose_power();
  }
  if (put < 0) {
    return -errno;
  }
  node->written = true;
  return static_cast<int>(put);
}

int card_fsync(const char* path, int datasync, fuse_file_info* fi) {
  (void)path;
  (void)datasync;
  if (node_of(fi)->generation != g_generation) {
    return -EIO;
  }
  return fdatasync(g_card.fd) == 0 ? 0 : -errno;
}

// A block device cannot change its size: truncation (a shell's ">") is ignored.
int card_truncate(const char* path, off_t size, fuse_file_info* fi) {
  (void)path;
  (void)size;
  (void)fi;
  return 0;
}

// close() waits for the flush: a program that wrote the table (fdisk) finds the new partitions
// as soon as it has closed the card, as after the kernel's re-read, however slow this server is.
int card_flush(const char* path, fuse_file_info* fi) {
  (void)path;
  OpenNode* node = node_of(fi);
  if (node->number == 0 && node->written && node->generation == g_generation) {
    std::lock_guard lock(g_card.mutex);
    reread_table();
    node->written = false;
  }
  return 0;
}

int card_release(const char* path, fuse_file_info* fi) {
  (void)path;
  OpenNode* node = node_of(fi);
  if (node->number == 0 && node->written && node->generation == g_generation) {
    std::lock_guard lock(g_card.mutex);
    reread_table();
  }
  delete node;
  return 0;
}

void* card_init(fuse_conn_info* conn, fuse_config* cfg) {
  // Nodes appear and vanish with the table: the kernel must ask every time.
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  // Reads go through the kernel's page cache, as a block device's do: fusefat reads a folder
  // 32 bytes at a time, so a file created in a folder of a few hundred entries would otherwise
  // be tens of thousands of requests to this server. Writes still reach the card one by one
  // (no write-back), so a power cut stops them where it falls. The cache of a node is dropped
  // when it is opened, not on every read: with attributes that never stay valid the kernel
  // would ask for them before each read and drop the cache whenever it might be stale.
  cfg->direct_io = 0;
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
  return nullptr;
}

fuse_operations card_operations() {
  fuse_operations ops{};
  ops.getattr = card_getattr;
  ops.readdir = card_readdir;
  ops.open = card_open;
  ops.read = card_read;
  ops.write = card_write;
  ops.fsync = card_fsync;
  ops.truncate = card_truncate;
  ops.flush = card_flush;
  ops.release = card_release;
  ops.init = card_init;
  return ops;
}

// The server: mounts, says it is ready on `ready`, then serves until the power goes.
int serve(int ready) {
  setsid();
  mkdir(kMountPoint, 0755);
  const char* words[] = {"card_blockd", "-o", "fsname=mmcblk0,subtype=card"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(words));
  const fuse_operations ops = card_operations();
  fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (fs == nullptr || fuse_mount(fs, kMountPoint) != 0) {
    fprintf(stderr, "card_blockd: cannot serve the card on %s\n", kMountPoint);
    return 1;
  }
  poll_control();
  // The board replaces the control file (a rename into the folder) when the card moves. The
  // wait is on the host's time, not the board clock's, which runs faster in stories.
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 ||
      inotify_add_watch(watch, sim::card::kCardStateDir, IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    fprintf(stderr, "card_blockd: cannot watch %s\n", sim::card::kCardStateDir);
    return 1;
  }
  std::thread control([watch] {
    char events[4096];
    while (read(watch, events, sizeof events) > 0 || errno == EINTR) {
      poll_control();
    }
  });
  control.detach();
  if (write(ready, "1", 1) != 1) {
    return 1;
  }
  close(ready);
  // Requests are served one at a time under the card's lock, as an SD card serves them; the
  // second worker serves the others while a writer is held by a power cut. libfuse's default of
  // ten idle workers would be ten more tasks for the board clock to look at before every jump.
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 2);
  const int status = fuse_loop_mt(fs, config);
  fuse_loop_cfg_destroy(config);
  return status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || strcmp(argv[2], "--") != 0) {
    fprintf(stderr, "usage: card_blockd IMAGE -- COMMAND [ARG...]\n");
    return 2;
  }
  g_card.image = argv[1];
  g_card.fd = open(g_card.image.c_str(), O_RDWR | O_CLOEXEC);
  struct stat st {};
  int pipeEnds[2] = {-1, -1};
  if (g_card.fd >= 0 && fstat(g_card.fd, &st) == 0 && pipe2(pipeEnds, O_CLOEXEC) == 0) {
    g_card.size =
        static_cast<uint64_t>(st.st_size) / sim::card::kSectorBytes * sim::card::kSectorBytes;
    const pid_t server = fork();
    if (server == 0) {
      close(pipeEnds[0]);
      _exit(serve(pipeEnds[1]));
    }
    close(pipeEnds[1]);
    char ready = 0;
    if (server < 0 || read(pipeEnds[0], &ready, 1) != 1) {
      fprintf(stderr, "card_blockd: the card is not served\n");
    }
    close(pipeEnds[0]);
    close(g_card.fd);
  } else {
    fprintf(stderr, "card_blockd: cannot open the card image %s: %s\n", g_card.image.c_str(),
            strerror(errno));
  }
  // The board goes on without a card rather than without a camera.
  execvp(argv[3], argv + 3);
  fprintf(stderr, "card_blockd: cannot run %s: %s\n", argv[3], strerror(errno));
  return 127;
}
