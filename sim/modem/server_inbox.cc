// The upload into the server inbox: mtools to read the partition, openssl to decrypt.
#include "sim/modem/server_inbox.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace sim {

namespace {

// Runs a tool with `args` (no shell) and returns its exit status (-1 when it could not run);
// its standard output goes to `ret_output` when given.
int run_tool(const std::vector<std::string>& args, std::string* ret_output) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    return -1;
  }
  const pid_t child = fork();
  if (child < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return -1;
  }
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
      dup2(devNull, STDERR_FILENO);
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  ssize_t count;
  while ((count = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<std::size_t>(count));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (ret_output != nullptr) {
    *ret_output = std::move(output);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A plain file name from the card: no folder part, no "." or "..".
bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

bool looks_like_jpeg(const std::string& bytes) {
  return bytes.size() >= 4 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
         static_cast<uint8_t>(bytes[1]) == 0xD8 &&
         static_cast<uint8_t>(bytes[bytes.size() - 2]) == 0xFF &&
         static_cast<uint8_t>(bytes[bytes.size() - 1]) == 0xD9;
}

void upload_transmit(const PartitionImage& partition, const std::string& inboxDir,
                     const std::string& password, ModemUpload* ret_upload) {
  const std::string image = partition.path + "@@" + std::to_string(partition.offset);
  std::string listing;
  if (run_tool({"mdir", "-b", "-i", image, "::/TRANSMIT"}, &listing) != 0) {
    ret_upload->error = "TRANSMIT folder not readable on " + partition.path;
    return;
  }
  std::error_code error;
  std::filesystem::create_directories(inboxDir, error);
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string prefix = "::/TRANSMIT/";
    if (line.rfind(prefix, 0) != 0) {
      continue;
    }
    const std::string name = line.substr(prefix.size());
    if (!plain_name(name)) {
      continue;
    }
    const std::string target = inboxDir + "/" + name;
    if (run_tool({"mcopy", "-n", "-o", "-i", image, line, target}, nullptr) != 0) {
      ret_upload->error = "could not copy " + name;
      continue;
    }
    if (!password.empty()) {
      // A wrong password passes openssl's padding check about once in 256 files and gives
      // noise: the server keeps only a decryption that gives a picture.
      const std::string plain = target + ".plain";
      if (run_tool({"openssl", "enc", "-d", "-aes-128-cbc", "-in", target, "-out", plain, "-pass",
                    "pass:" + password},
                   nullptr) != 0 ||
          !looks_like_jpeg(read_all(plain))) {
        std::filesystem::remove(plain, error);
        ret_upload->notJpeg.push_back(name + " (does not decrypt)");
        ret_upload->files.push_back(name);
        continue;
      }
      std::filesystem::rename(plain, target, error);
    }
    ret_upload->files.push_back(name);
    if (!looks_like_jpeg(read_all(target))) {
      ret_upload->notJpeg.push_back(name);
    }
  }
}

}  // namespace sim
