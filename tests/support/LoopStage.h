// A stage on a file system of another kind (exFAT through exfat-fuse, NTFS
// through ntfs-3g), made on a loop image for one test and gone with it.
#pragma once

#include <string>

namespace test {

class LoopStage {
 public:
  enum class Kind { ExFat, Ntfs };

  // Makes an image of `megabytes` in the existing directory `dir`, attaches
  // it, formats it and mounts it at `dir`/mnt. Where that cannot be done
  // (not root, no /dev/fuse, a tool missing, a step that fails), Why() says
  // why and nothing stays behind.
  LoopStage(Kind kind, const std::string& dir, int megabytes = 64);
  // Unmounts the file system and detaches the image.
  ~LoopStage();
  LoopStage(const LoopStage&) = delete;
  LoopStage& operator=(const LoopStage&) = delete;

  // Empty once mounted; otherwise why it is not.
  const std::string& Why() const { return why_; }
  // The mount point, without a trailing separator.
  const std::string& Mount() const { return mount_; }
  static const char* Name(Kind kind) { return kind == Kind::ExFat ? "exFAT" : "NTFS"; }

 private:
  void Undo();

  std::string why_;
  std::string mount_;
  std::string device_;
  bool mounted_ = false;
};

}  // namespace test
