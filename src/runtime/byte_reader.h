// The bounds-checked reader through which every structure read from an image file is parsed. It walks a span
// of bytes; a load or a skip past the end yields zeros and puts the reader into its failed state, which stays
// until the reader is dropped, so a parser reads a whole structure and checks `ok()` once at its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}
  explicit ByteReader(std::span<const uint8_t> bytes) : ByteReader(bytes.data(), bytes.size()) {}

  bool ok() const { return ok_; }
  size_t size() const { return size_; }
  size_t pos() const { return pos_; }
  size_t remaining() const { return size_ - pos_; }
  const uint8_t* data() const { return data_; }

  // Moves to an absolute offset; an offset past the end fails (the end itself is allowed).
  bool Seek(size_t offset) {
    if (offset > size_) return Fail();
    pos_ = offset;
    return true;
  }
  bool Skip(size_t n) {
    if (n > remaining()) return Fail();
    pos_ += n;
    return true;
  }
  // True when n more bytes can be read from the current position (does not fail the reader).
  bool Has(size_t n) const { return ok_ && n <= remaining(); }

  uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
  uint16_t U16LE() { return static_cast<uint16_t>(TakeLE(2)); }
  uint32_t U32LE() { return static_cast<uint32_t>(TakeLE(4)); }
  uint64_t U64LE() { return TakeLE(8); }
  uint16_t U16BE() { return static_cast<uint16_t>(TakeBE(2)); }
  uint32_t U24BE() { return static_cast<uint32_t>(TakeBE(3)); }
  uint32_t U32BE() { return static_cast<uint32_t>(TakeBE(4)); }
  uint64_t U64BE() { return TakeBE(8); }
  int16_t I16LE() { return static_cast<int16_t>(U16LE()); }
  int32_t I32LE() { return static_cast<int32_t>(U32LE()); }
  int64_t I64LE() { return static_cast<int64_t>(U64LE()); }
  int32_t I32BE() { return static_cast<int32_t>(U32BE()); }
  int64_t I64BE() { return static_cast<int64_t>(U64BE()); }

  // Copies n bytes out (zeros on failure).
  bool Bytes(void* out, size_t n) {
    if (n > remaining() || !ok_) {
      if (out && n) std::memset(out, 0, n);
      return Fail();
    }
    if (n) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return true;
  }
  // The next n bytes as a reader of their own; an empty failed reader when they are not all there.
  ByteReader Sub(size_t n) {
    if (n > remaining() || !ok_) {
      Fail();
      ByteReader none;
      none.ok_ = false;
      return none;
    }
    ByteReader sub(data_ + pos_, n);
    pos_ += n;
    return sub;
  }
  // The next n bytes as a span (empty and failed when they are not all there).
  std::span<const uint8_t> Span(size_t n) {
    if (n > remaining() || !ok_) {
      Fail();
      return {};
    }
    std::span<const uint8_t> out(data_ + pos_, n);
    pos_ += n;
    return out;
  }
  std::string_view Chars(size_t n) {
    auto s = Span(n);
    return std::string_view(reinterpret_cast<const char*>(s.data()), s.size());
  }

  // Loads at an absolute offset without moving; a load past the end fails the reader.
  uint8_t U8At(size_t at) { return static_cast<uint8_t>(PeekLE(at, 1)); }
  uint16_t U16LEAt(size_t at) { return static_cast<uint16_t>(PeekLE(at, 2)); }
  uint32_t U32LEAt(size_t at) { return static_cast<uint32_t>(PeekLE(at, 4)); }
  uint64_t U64LEAt(size_t at) { return PeekLE(at, 8); }
  uint16_t U16BEAt(size_t at) { return static_cast<uint16_t>(PeekBE(at, 2)); }
  uint32_t U32BEAt(size_t at) { return static_cast<uint32_t>(PeekBE(at, 4)); }
  uint64_t U64BEAt(size_t at) { return PeekBE(at, 8); }

  // Marks the structure as unacceptable for a reason found by the parser itself (a field out of range).
  bool Fail() {
    ok_ = false;
    return false;
  }

 private:
  bool Fits(size_t at, size_t n) const { return at <= size_ && n <= size_ - at; }
  uint64_t Take(size_t n) { return TakeLE(n); }
  uint64_t TakeLE(size_t n) {
    uint64_t v = PeekLE(pos_, n);
    if (ok_) pos_ += n;
    return v;
  }
  uint64_t TakeBE(size_t n) {
    uint64_t v = PeekBE(pos_, n);
    if (ok_) pos_ += n;
    return v;
  }
  uint64_t PeekLE(size_t at, size_t n) {
    if (!ok_ || !Fits(at, n)) return Fail(), 0;
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | data_[at + i];
    return v;
  }
  uint64_t PeekBE(size_t at, size_t n) {
    if (!ok_ || !Fits(at, n)) return Fail(), 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | data_[at + i];
    return v;
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Loads from a buffer whose size the caller has already checked (a fixed-size record it owns).
inline uint16_t LoadU16LE(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t LoadU32LE(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t LoadU64LE(const uint8_t* p) { return LoadU32LE(p) | static_cast<uint64_t>(LoadU32LE(p + 4)) << 32; }
inline uint16_t LoadU16BE(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t LoadU32BE(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         static_cast<uint32_t>(p[3]);
}
inline uint64_t LoadU64BE(const uint8_t* p) { return static_cast<uint64_t>(LoadU32BE(p)) << 32 | LoadU32BE(p + 4); }
