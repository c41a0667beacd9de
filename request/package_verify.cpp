// The archive pass of the package check (see package_verify.h).
#include "request/package_verify.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <openssl/sha.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ziparchive/zip_archive.h>

#include <algorithm>
#include <array>

#include "request/sealed_file.h"
#include "request/signed_data.h"

namespace package_verify {
namespace {

constexpr size_t kReadChunk = 1 << 20;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Reads exactly len bytes at offset; false on a short read.
bool ReadAt(int fd, uint8_t* buffer, size_t len, uint64_t offset) {
  return android::base::ReadFullyAtOffset(fd, buffer, len, static_cast<off64_t>(offset));
}

constexpr uint32_t kCentralMagic = 0x02014b50;
constexpr uint32_t kLocalMagic = 0x04034b50;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
// A local header's name and extra field are at most 64 KiB each: capturing
// this much beyond the entry's data start always covers the header.
constexpr size_t kMaxLocalHeader = kLocalSize + 2 * 0xffff;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool Stored(const std::string& name) { return name == kUpdaterEntry; }
size_t LimitFor(const std::string& name) {
  return Stored(name) ? kMaxUpdaterSize : kMaxMetadataSize;
}

// A wanted entry as the central directory names it.
struct Plan {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t compressed = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  std::string problem;  // why it cannot be used, found while planning
};

// A range of the signed bytes, either copied as it is hashed (capture) or
// compared with what the planning read saw (expect).
struct Region {
  uint64_t begin = 0;
  uint64_t end = 0;
  std::vector<uint8_t> capture;
  const uint8_t* expect = nullptr;
};

// Sees the range [at, at + len) of the signed bytes go by.
bool Observe(Region* region, const uint8_t* data, uint64_t at, size_t len) {
  uint64_t from = std::max(region->begin, at);
  uint64_t to = std::min(region->end, at + len);
  if (from >= to) return true;
  const uint8_t* src = data + (from - at);
  size_t n = static_cast<size_t>(to - from);
  if (region->expect != nullptr)
    return memcmp(region->expect + (from - region->begin), src, n) == 0;
  memcpy(region->capture.data() + (from - region->begin), src, n);
  return true;
}

// Finds the wanted entries in the central directory that the end-of-archive
// record names. Structure problems are returned as text, not refused here: a
// package whose bytes were changed must be reported as such by the digest.
// *unusable tells a problem of a wanted entry (one named twice) from one of the
// archive's structure.
std::string PlanEntries(int fd, const uint8_t* eocd, uint64_t eocd_offset,
                        const std::vector<std::string>& wanted, std::vector<uint8_t>* cd,
                        uint64_t* cd_offset, std::vector<Plan>* plans, bool* unusable) {
  *unusable = false;
  uint16_t disk = Le16(eocd + 4), cd_disk = Le16(eocd + 6);
  uint16_t on_disk = Le16(eocd + 8), total = Le16(eocd + 10);
  uint32_t cd_size = Le32(eocd + 12);
  *cd_offset = Le32(eocd + 16);
  if (disk != 0 || cd_disk != 0 || on_disk != total) return "an archive of several disks";
  if (*cd_offset + cd_size > eocd_offset) return "central directory beyond its end record";
  if (cd_size > kMaxCentralDirectory) return "central directory larger than 16 MiB";
  cd->resize(cd_size);
  if (!ReadAt(fd, cd->data(), cd_size, *cd_offset)) return "short read of the central directory";
  size_t at = 0;
  for (uint16_t i = 0; i < total; ++i) {
    if (at + kCentralSize > cd->size() || Le32(cd->data() + at) != kCentralMagic) {
      return "central directory record " + std::to_string(i) + " is damaged";
    }
    const uint8_t* r = cd->data() + at;
    size_t name_len = Le16(r + 28), extra = Le16(r + 30), comment = Le16(r + 32);
    size_t next = at + kCentralSize + name_len + extra + comment;
    if (next > cd->size()) return "central directory record " + std::to_string(i) + " is cut";
    std::string name(reinterpret_cast<const char*>(r + kCentralSize), name_len);
    at = next;
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) continue;
    for (const Plan& seen : *plans) {
      // Two entries of one name: a zip reader could take either. The archive
      // itself is sound and signed; the entry cannot be used.
      if (seen.name == name) {
        *unusable = true;
        return "two entries named " + name;
      }
    }
    Plan plan;
    plan.name = name;
    plan.flags = Le16(r + 8);
    plan.method = Le16(r + 10);
    plan.crc = Le32(r + 16);
    plan.compressed = Le32(r + 20);
    plan.size = Le32(r + 24);
    plan.offset = Le32(r + 42);
    size_t limit = LimitFor(name);
    if (plan.size > limit) {
      plan.problem = name + " is larger than " + std::to_string(limit >> 10) + " KiB";
    } else if (plan.compressed > limit + limit / 64 + 4096) {
      // Deflate never grows data this much: the sizes are false.
      plan.problem = name + " has a compressed size that does not fit its size";
    } else if (plan.offset + kLocalSize + plan.compressed > *cd_offset) {
      plan.problem = name + " lies beyond the entries";
    } else if ((plan.flags & 1) != 0) {
      plan.problem = name + " is encrypted";
    } else if (plan.method != 0 && plan.method != 8) {
      plan.problem = name + " uses compression method " + std::to_string(plan.method);
    }
    plans->push_back(std::move(plan));
  }
  return "";
}

class MemoryReader : public zip_archive::Reader {
 public:
  MemoryReader(const uint8_t* data, size_t len) : data_(data), len_(len) {}
  bool ReadAtOffset(uint8_t* buf, size_t len, uint32_t offset) const override {
    if (offset > len_ || len > len_ - offset) return false;
    memcpy(buf, data_ + offset, len);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t len_;
};

// Collects inflated bytes in memory or in a memory file, never more than limit.
class EntryWriter : public zip_archive::Writer {
 public:
  EntryWriter(int fd, std::string* bytes, uint64_t limit) : fd_(fd), bytes_(bytes), limit_(limit) {}
  bool Append(uint8_t* buf, size_t len) override {
    if (len > limit_ - written_) return false;
    written_ += len;
    if (fd_ >= 0) return android::base::WriteFully(fd_, buf, len);
    bytes_->append(reinterpret_cast<const char*>(buf), len);
    return true;
  }
  uint64_t written() const { return written_; }

 private:
  int fd_;
  std::string* bytes_;
  uint64_t limit_;
  uint64_t written_ = 0;
};

uint32_t Crc32(const uint8_t* data, size_t len) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < len; ++i) crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
  return crc ^ 0xffffffffu;
}

// Takes the entry of plan out of its captured local header and data.
Status Extract(const Plan& plan, const std::vector<uint8_t>& captured, VerifiedEntry* out) {
  auto unusable = [&](const std::string& text) {
    return Status(Result::kUnusableEntry, plan.name + ": " + text);
  };
  if (!plan.problem.empty()) return Status(Result::kUnusableEntry, plan.problem);
  const uint8_t* h = captured.data();
  if (captured.size() < kLocalSize || Le32(h) != kLocalMagic) {
    return unusable("no local header where the central directory points");
  }
  size_t name_len = Le16(h + 26), extra = Le16(h + 28);
  if (Le16(h + 8) != plan.method || (Le16(h + 6) & 1) != 0) {
    return unusable("local header disagrees with the central directory");
  }
  if (name_len != plan.name.size() || captured.size() < kLocalSize + name_len ||
      memcmp(h + kLocalSize, plan.name.data(), name_len) != 0) {
    return unusable("local header names another entry");
  }
  size_t start = kLocalSize + name_len + extra;
  if (start + plan.compressed > captured.size()) return unusable("data beyond the signed bytes");
  const uint8_t* data = h + start;
  if (Stored(plan.name)) {
    out->sealed = NewMemoryFile("update-binary");
    if (out->sealed < 0) return unusable(std::string("no memory file: ") + strerror(errno));
  }
  EntryWriter writer(out->sealed.get(), &out->bytes, plan.size);
  uint64_t crc = 0;
  if (plan.method == 0) {
    if (plan.compressed != plan.size) return unusable("stored with two different sizes");
    crc = Crc32(data, static_cast<size_t>(plan.size));
    if (!writer.Append(const_cast<uint8_t*>(data), static_cast<size_t>(plan.size))) {
      return unusable(std::string("cannot be copied: ") + strerror(errno));
    }
  } else {
    MemoryReader reader(data, static_cast<size_t>(plan.compressed));
    int32_t rc = zip_archive::Inflate(reader, static_cast<uint32_t>(plan.compressed),
                                      static_cast<uint32_t>(plan.size), &writer, &crc);
    if (rc != 0) return unusable(std::string("cannot be inflated: ") + ErrorCodeString(rc));
  }
  if (writer.written() != plan.size) return unusable("shorter than its size");
  if (static_cast<uint32_t>(crc) != plan.crc) return unusable("CRC does not match");
  if (out->sealed >= 0 && !SealMemoryFile(out->sealed.get())) {
    return unusable(std::string("cannot be sealed: ") + strerror(errno));
  }
  out->size = plan.size;
  return Result::kVerified;
}

}  // namespace

const VerifiedEntry* VerifiedPackage::find(const std::string& name) const {
  auto it = entries.find(name);
  return it == entries.end() ? nullptr : &it->second;
}

const std::string* VerifiedPackage::text(const std::string& name) const {
  const VerifiedEntry* entry = find(name);
  return entry == nullptr || entry->sealed >= 0 ? nullptr : &entry->bytes;
}

Status SameAsChecked(const struct stat& checked, const struct stat& now) {
  if (now.st_dev != checked.st_dev || now.st_ino != checked.st_ino) {
    return Status(Result::kChangedDuringCheck, "another file took its name");
  }
  if (now.st_size != checked.st_size)
    return Status(Result::kChangedDuringCheck, "its size changed");
  if (now.st_mtim.tv_sec != checked.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != checked.st_mtim.tv_nsec ||
      now.st_ctim.tv_sec != checked.st_ctim.tv_sec ||
      now.st_ctim.tv_nsec != checked.st_ctim.tv_nsec) {
    return Status(Result::kChangedDuringCheck, "it was written or its attributes changed");
  }
  return Result::kVerified;
}

Status CheckPackageFile(const struct stat& st, uid_t euid) {
  if (!S_ISREG(st.st_mode)) return Status(Result::kUnreadable, "not a regular file");
  if (st.st_nlink != 1) {
    return Status(Result::kOpenToWriters,
                  std::to_string(st.st_nlink) + " links (another name could change it)");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return Status(Result::kOpenToWriters, "writable by group or others");
  }
  if (st.st_uid != euid && st.st_uid != 0) {
    return Status(Result::kOpenToWriters, "owned by user " + std::to_string(st.st_uid));
  }
  return Result::kVerified;
}

Status VerifyPackageFd(int fd, const std::vector<PublicKey>& keys, std::string* signer_name) {
  VerifiedPackage package;
  Status result = VerifyPackageFd(fd, keys, {}, &package);
  if (result.ok() && signer_name != nullptr) *signer_name = package.signer;
  return result;
}

Status VerifyPackageFd(int fd, const std::vector<PublicKey>& keys,
                       const std::vector<std::string>& wanted, VerifiedPackage* out,
                       const std::function<void()>& after_planning) {
  if (keys.empty()) return Status(Result::kNoKeyStore, "no certificate to verify with");
  struct stat before;
  if (fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
    return Status(Result::kUnreadable, "not a regular file");
  }
  // The zip reader handles no 64-bit archives; neither does the footer.
  uint64_t size = static_cast<uint64_t>(before.st_size);
  if (size > 0xffffffffULL) return Status(Result::kUnreadable, "larger than 4 GiB");
  size_t tail_len = static_cast<size_t>(std::min<uint64_t>(size, kMaxTail));
  std::vector<uint8_t> tail(tail_len);
  if (!ReadAt(fd, tail.data(), tail_len, size - tail_len)) {
    return Status(Result::kUnreadable, "short read of the archive's end");
  }
  Footer footer;
  Status result = ParseFooter(tail.data(), tail_len, size, &footer);
  if (!result.ok()) return result;
  Signer signer;
  result = ParseSignedData(tail.data() + footer.block_offset, footer.block_length, &signer);
  if (!result.ok()) return result;

  // The planning read: where the wanted entries lie. The signed part of the
  // end record and the central directory are compared with the hashed bytes.
  uint64_t eocd_offset = footer.signed_length - 20;
  const uint8_t* eocd = tail.data() + (tail_len - (size - eocd_offset));
  std::vector<Region> regions(1);
  regions[0].begin = eocd_offset;
  regions[0].end = footer.signed_length;
  regions[0].expect = eocd;
  std::vector<uint8_t> cd;
  std::vector<Plan> plans;
  std::string plan_problem;
  bool entry_unusable = false;
  if (!wanted.empty()) {
    uint64_t cd_offset = 0;
    plan_problem =
        PlanEntries(fd, eocd, eocd_offset, wanted, &cd, &cd_offset, &plans, &entry_unusable);
    if (plan_problem.empty()) {
      Region directory;
      directory.begin = cd_offset;
      directory.end = cd_offset + cd.size();
      directory.expect = cd.data();
      regions.push_back(directory);
      for (const Plan& plan : plans) {
        if (!plan.problem.empty()) continue;
        Region entry;
        entry.begin = plan.offset;
        entry.end = std::min<uint64_t>(plan.offset + kMaxLocalHeader + plan.compressed, cd_offset);
        entry.capture.resize(static_cast<size_t>(entry.end - entry.begin));
        regions.push_back(std::move(entry));
      }
    }
  }
  if (after_planning) after_planning();

  SHA256_CTX sha;
  SHA256_Init(&sha);
  std::vector<uint8_t> buffer(kReadChunk);
  bool same = true;
  bool complete = true;
  for (uint64_t done = 0; done < footer.signed_length;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, footer.signed_length - done));
    if (!ReadAt(fd, buffer.data(), n, done)) {
      complete = false;
      break;
    }
    SHA256_Update(&sha, buffer.data(), n);
    for (Region& region : regions) same = Observe(&region, buffer.data(), done, n) && same;
    done += n;
  }
  struct stat after;
  if (fstat(fd, &after) != 0) return Status(Result::kUnreadable, "cannot stat the package");
  if (!same) {
    return Status(Result::kChangedDuringCheck,
                  "the hashed central directory or end record differs from the one read first");
  }
  Status moved = SameAsChecked(before, after);
  if (!moved.ok())
    return Status(Result::kChangedDuringCheck, "while it was hashed " + moved.reason);
  if (!complete) return Status(Result::kUnreadable, "short read of the signed bytes");
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, &sha);

  const PublicKey* match = nullptr;
  result = MatchSignature(digest, signer, keys, &match);
  if (!result.ok()) return result;
  if (!plan_problem.empty()) {
    return Status(entry_unusable ? Result::kUnusableEntry : Result::kMalformed, plan_problem);
  }
  out->signer = match->name;
  out->checked = after;
  out->entries.clear();
  size_t next_region = 2;
  for (const Plan& plan : plans) {
    static const std::vector<uint8_t> kNothing;
    const std::vector<uint8_t>& captured =
        plan.problem.empty() ? regions[next_region++].capture : kNothing;
    VerifiedEntry entry;
    result = Extract(plan, captured, &entry);
    if (!result.ok()) {
      out->entries.clear();
      return result;
    }
    out->entries[plan.name] = std::move(entry);
  }
  return Result::kVerified;
}

}  // namespace package_verify
