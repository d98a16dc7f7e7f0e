// --all's work on the streams pass 1 found: each profile's header read, each
// compressed object stream inflated (with a bound) and its objects stepped
// as plain objects are, and one whose arrays change compressed again to its
// old length. When and where it is written is convert_file's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "colorspace/all_spaces.h"
#include "stream/window_rewrite.h"

namespace iccdrop::engine {

// An object stream is read whole only up to this many bytes, compressed or
// inflated, and to this many times its compressed size inflated: a
// decompression bomb stops at the bound.
inline constexpr std::size_t kMaxObjectStream = std::size_t{64} << 20;
inline constexpr std::size_t kMaxInflation = 256;

// An object stream pass 2 steps (`reason` empty), or one whose objects are
// left unread, and why: "the file is encrypted".
struct ObjectStreamNote {
  std::size_t stream = 0;  // index in colorspace::AllSpaces::streams()
  std::string_view reason;
};

// Reads into `facts` the header of each profile stream it recorded, and the
// facts of the objects in each object stream (AllSpaces::streams() of the
// `size`-byte file `input`). Returns the object streams that hold an
// «/ICCBased», and those it could not read, in file order. Memory: one
// object stream at a time.
[[nodiscard]] std::vector<ObjectStreamNote> read_streams(stream::ByteFile& input,
                                                         std::uint64_t size,
                                                         colorspace::AllSpaces& facts);

// An object stream's data rewritten: the same length, at `offset` in the file.
struct StreamData {
  std::uint64_t offset = 0;
  std::vector<unsigned char> bytes;
};

// Steps the objects of object stream `stream` as convert_window_all steps
// plain ones, and compresses the result to the data's length. Returns the
// new data, checked by inflating it again, and tells `on_change` of each
// array rewritten; where nothing changes, none. Where it does not fit (or
// cannot be read again), none, and `on_leave` hears of each array it would
// have rewritten. `on_leave` hears of the arrays left, either way.
[[nodiscard]] std::optional<StreamData> rewrite_object_stream(
    stream::ByteFile& input, std::uint64_t size, const colorspace::StreamRecord& stream,
    const colorspace::AllSpaces& facts, const colorspace::ChangeVisitor& on_change,
    const colorspace::LeaveVisitor& on_leave);

}  // namespace iccdrop::engine
