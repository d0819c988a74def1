// Loop-image stages: losetup, mkfs and a FUSE mount, undone in reverse.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/LoopStage.h"

namespace test {

namespace {

// The output of a shell command, its status in `status`.
std::string Output(const std::string& command, int& status) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    status = -1;
    return out;
  }
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  status = ::pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool Quiet(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool HasTool(const std::string& tool) { return Quiet("command -v " + tool); }

}  // namespace

LoopStage::LoopStage(Kind kind, const std::string& dir, int megabytes) : mount_(dir + "/mnt") {
  const bool exfat = kind == Kind::ExFat;
  const std::string mkfs = exfat ? "mkfs.exfat" : "mkntfs";
  const std::string mounter = exfat ? "mount.exfat-fuse" : "ntfs-3g";
  if (::geteuid() != 0) {
    why_ = "a loop stage needs root";
  } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    why_ = "no /dev/fuse";
  } else if (!HasTool("losetup") || !HasTool(mkfs) || !HasTool(mounter)) {
    why_ = "losetup, " + mkfs + " or " + mounter + " is not installed";
  }
  if (!why_.empty()) return;
  const std::string image = dir + "/stage.img";
  const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool sized = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(megabytes) << 20) == 0;
  if (fd >= 0) ::close(fd);
  int status = 0;
  if (sized) device_ = Output("losetup --find --show '" + image + "' 2>/dev/null", status);
  if (!sized || status != 0 || device_.empty()) {
    device_.clear();
    why_ = "no loop device for " + image;
    return;
  }
  const std::string format = exfat ? "mkfs.exfat " + device_ : "mkntfs -F -Q " + device_;
  if (!Quiet(format) || ::mkdir(mount_.c_str(), 0755) != 0 ||
      !Quiet(mounter + " " + device_ + " '" + mount_ + "'")) {
    why_ = "could not format or mount " + device_ + " as " + Name(kind);
    Undo();
    return;
  }
  mounted_ = true;
}

LoopStage::~LoopStage() { Undo(); }

void LoopStage::Undo() {
  // A FUSE daemon may still hold the mount a moment after the last file
  // closes: a lazy unmount lets it go whenever it is done.
  if (mounted_ && !Quiet("umount '" + mount_ + "'")) Quiet("umount -l '" + mount_ + "'");
  mounted_ = false;
  if (!device_.empty()) Quiet("losetup -d " + device_);
  device_.clear();
}

}  // namespace test
