#include "codec/deflate.h"

#include <algorithm>

#define ZLIB_CONST
#include <zlib.h>

#include "codec/error.h"

namespace vantrel {
namespace {

// zlib counts available bytes in 32-bit `uInt`s; larger buffers go through in pieces.
constexpr size_t kMaxChunk = size_t{1} << 30;
constexpr size_t kMinInflateBuffer = size_t{1} << 16;

constexpr const char* kCorruptStream = "corrupt deflate stream";

DeflateError library_error(const z_stream& s, int code) {
  return DeflateError{s.msg != nullptr ? s.msg : zError(code)};
}

// zlib writes up to avail_out bytes at next_out, so the room it is given must lie inside the
// buffer [begin, begin + size). Checked before every call in every build: past the buffer zlib
// would overwrite the heap, which nothing afterwards detects reliably.
void check_room(const z_stream& s, const uint8_t* begin, size_t size, const char* what) {
  const bool inside = s.next_out >= begin && static_cast<size_t>(s.next_out - begin) <= size;
  if (!inside || s.avail_out > size - static_cast<size_t>(s.next_out - begin)) {
    internal_buffer_error(what);
  }
}

// A zlib stream that ends itself once opened. `End` is deflateEnd or inflateEnd.
template <int (*End)(z_streamp)>
class ZStream {
 public:
  ZStream() = default;
  ZStream(const ZStream&) = delete;
  ZStream& operator=(const ZStream&) = delete;
  ~ZStream() {
    if (open_) End(&s_);
  }
  // Records whether `init_rc` (the result of the matching init call on get()) opened it.
  int opened(int init_rc) {
    open_ = init_rc == Z_OK;
    return init_rc;
  }
  z_stream& get() { return s_; }

 private:
  z_stream s_{};
  bool open_ = false;
};

// Raw deflate (no zlib or gzip wrapper, window bits -15) at level 6.
class DeflateStream : public ZStream<deflateEnd> {
 public:
  int open() { return opened(deflateInit2(&get(), 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY)); }
};

class InflateStream : public ZStream<inflateEnd> {
 public:
  int open() { return opened(inflateInit2(&get(), -15)); }
};

// Past the bytes the caller can use, the rest of the stream is still inflated (into a small
// buffer that is overwritten) so that damage anywhere in it is reported as it would be with
// unbounded output; memory stays bounded while time stays proportional to the stream.
Result<std::vector<uint8_t>, DeflateError> finish_discarding(z_stream& s,
                                                             std::span<const uint8_t> payload,
                                                             size_t in_pos,
                                                             std::vector<uint8_t> out) {
  uint8_t sink[1 << 14];
  for (;;) {
    const size_t in_chunk = std::min(payload.size() - in_pos, kMaxChunk);
    s.next_in = payload.data() + in_pos;
    s.avail_in = static_cast<uInt>(in_chunk);
    s.next_out = sink;
    s.avail_out = sizeof sink;
    check_room(s, sink, sizeof sink, "inflate's discarding buffer");
    const int rc = inflate(&s, Z_NO_FLUSH);
    in_pos += in_chunk - s.avail_in;
    if (rc == Z_STREAM_END) return out;
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_STREAM_ERROR) {
      return DeflateError{kCorruptStream};
    }
    if (rc == Z_MEM_ERROR) return library_error(s, rc);
    if (s.avail_out != 0 && in_pos == payload.size()) return out;
  }
}

}  // namespace

Result<std::vector<uint8_t>, DeflateError> deflate_payload(std::span<const uint8_t> data) {
  DeflateStream stream;
  z_stream& s = stream.get();
  if (const int rc = stream.open(); rc != Z_OK) return library_error(s, rc);
  // deflateBound is enough for the whole stream; the loop still copes with running out of room.
  std::vector<uint8_t> out(deflateBound(&s, static_cast<uLong>(data.size())));
  size_t in_pos = 0;
  size_t out_pos = 0;
  for (;;) {
    if (out_pos == out.size()) out.resize(std::max<size_t>(2 * out.size(), 64));
    const size_t in_chunk = std::min(data.size() - in_pos, kMaxChunk);
    const size_t out_chunk = std::min(out.size() - out_pos, kMaxChunk);
    const bool is_last = in_pos + in_chunk == data.size();
    s.next_in = data.data() + in_pos;
    s.avail_in = static_cast<uInt>(in_chunk);
    s.next_out = out.data() + out_pos;
    s.avail_out = static_cast<uInt>(out_chunk);
    check_room(s, out.data(), out.size(), "deflate's output buffer");
    const int rc = deflate(&s, is_last ? Z_FINISH : Z_NO_FLUSH);
    in_pos += in_chunk - s.avail_in;
    out_pos += out_chunk - s.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) return library_error(s, rc);
  }
  out.resize(out_pos);
  return out;
}

Result<std::vector<uint8_t>, DeflateError> inflate_payload(std::span<const uint8_t> payload,
                                                           size_t max_output) {
  std::vector<uint8_t> out;
  InflateStream stream;
  z_stream& s = stream.get();
  if (const int rc = stream.open(); rc != Z_OK) return library_error(s, rc);
  // Start near the size a typical payload inflates to and double from there: max_output may come
  // from an untrusted header and be far beyond what the stream holds.
  out.resize(std::min(max_output, std::max(kMinInflateBuffer, 4 * payload.size())));
  size_t in_pos = 0;
  size_t out_pos = 0;
  for (;;) {
    if (out_pos == out.size()) {
      if (out.size() == max_output) return finish_discarding(s, payload, in_pos, std::move(out));
      out.resize(std::min(max_output, 2 * out.size()));
    }
    const size_t in_chunk = std::min(payload.size() - in_pos, kMaxChunk);
    const size_t out_chunk = std::min(out.size() - out_pos, kMaxChunk);
    s.next_in = payload.data() + in_pos;
    s.avail_in = static_cast<uInt>(in_chunk);
    s.next_out = out.data() + out_pos;
    s.avail_out = static_cast<uInt>(out_chunk);
    check_room(s, out.data(), out.size(), "inflate's output buffer");
    const int rc = inflate(&s, Z_NO_FLUSH);
    in_pos += in_chunk - s.avail_in;
    out_pos += out_chunk - s.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_STREAM_ERROR) {
      return DeflateError{kCorruptStream};
    }
    if (rc == Z_MEM_ERROR) return library_error(s, rc);
    // Room left and every input byte consumed: the stream is cut short; keep what it gave.
    if (s.avail_out != 0 && in_pos == payload.size()) break;
  }
  out.resize(out_pos);
  return out;
}

}  // namespace vantrel
