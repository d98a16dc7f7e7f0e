#include "engine/object_stream.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>

#include "colorspace/icc_header.h"
#include "match/pdf_token.h"
#include "stream/deflate.h"
#include "stream/window_stream.h"

namespace iccdrop::engine {
namespace {

using colorspace::AllSpaces;
using colorspace::Change;
using colorspace::ChangeVisitor;
using colorspace::collect_window_all;
using colorspace::convert_window_all;
using colorspace::kIccHeaderSize;
using colorspace::Leave;
using colorspace::LeaveVisitor;
using colorspace::ProfileHeader;
using colorspace::read_icc_header;
using colorspace::StreamRecord;

namespace pdf = match::pdf;
using Bytes = std::span<const unsigned char>;

class MemorySource final : public stream::ByteSource {
 public:
  explicit MemorySource(Bytes bytes) : rest_(bytes) {}
  std::optional<std::size_t> read(std::span<unsigned char> into) override {
    const std::size_t count = std::min(into.size(), rest_.size());
    std::copy_n(rest_.begin(), count, into.begin());
    rest_ = rest_.subspan(count);
    return count;
  }

 private:
  Bytes rest_;
};

class MemorySink final : public stream::ByteSink {
 public:
  explicit MemorySink(std::vector<unsigned char>& bytes) : bytes_(bytes) {}
  bool write(std::span<const unsigned char> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return true;
  }

 private:
  std::vector<unsigned char>& bytes_;
};

std::optional<std::vector<unsigned char>> read_bytes(stream::ByteFile& input,
                                                     std::uint64_t offset,
                                                     std::size_t count) {
  std::vector<unsigned char> bytes(count);
  const auto got = input.read_at(offset, bytes);
  if (!got) return std::nullopt;
  bytes.resize(*got);
  return bytes;
}

// «/Encrypt» as a key of the trailer, which lies in the last bytes of the
// file (and in the first of a linearized one).
bool file_is_encrypted(stream::ByteFile& input, std::uint64_t size) {
  constexpr std::size_t kEnd = std::size_t{64} << 10;
  constexpr std::string_view kKey = "/Encrypt";
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEnd));
  for (const std::uint64_t from : {std::uint64_t{0}, size - count}) {
    const auto bytes = read_bytes(input, from, count);
    if (!bytes) continue;
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()),
                                bytes->size());
    for (std::size_t at = text.find(kKey); at != std::string_view::npos;
         at = text.find(kKey, at + 1)) {
      if (pdf::keyword_at(*bytes, at, kKey)) return true;
    }
  }
  return false;
}

ProfileHeader read_header(stream::ByteFile& input, const StreamRecord& profile) {
  std::array<unsigned char, kIccHeaderSize> header{};
  if (profile.filter == StreamRecord::Filter::kOther) return ProfileHeader::kUnread;
  if (profile.length && *profile.length < header.size()) return ProfileHeader::kUnread;
  if (profile.filter == StreamRecord::Filter::kNone) {
    const auto got = input.read_at(profile.data, header);
    if (!got || *got < header.size()) return ProfileHeader::kUnread;
    return read_icc_header(header);
  }
  // 128 bytes compress to far fewer than a chunk.
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(
      profile.length.value_or(stream::kChunkSize), stream::kChunkSize));
  const auto compressed = read_bytes(input, profile.data, count);
  if (!compressed || !stream::inflate_zlib_prefix(*compressed, header)) {
    return ProfileHeader::kUnread;
  }
  return read_icc_header(header);
}

// An object stream's data inflated, or why not.
struct Loaded {
  std::vector<unsigned char> content;
  std::size_t compressed = 0;  // bytes of zlib data, from the stream's first byte
  std::string_view reason;
};

// Reads the /Length bytes of a direct /Length; for an indirect one, from
// 64 KiB on, twice as many bytes each time until the data inflates whole
// (its end then tells the length) or the bound is reached.
Loaded load(stream::ByteFile& input, std::uint64_t size, const StreamRecord& stream) {
  Loaded loaded;
  if (stream.filter != StreamRecord::Filter::kFlate) {
    loaded.reason = "its filter is not /FlateDecode alone, without a predictor";
    return loaded;
  }
  if (stream.length && *stream.length > kMaxObjectStream) {
    loaded.reason = "it is larger than the run reads";
    return loaded;
  }
  const std::uint64_t left = size - std::min(size, stream.data);
  const std::size_t most = static_cast<std::size_t>(
      std::min<std::uint64_t>(left, stream.length.value_or(kMaxObjectStream)));
  std::size_t want = stream.length ? most : std::min<std::size_t>(most, 64 << 10);
  while (true) {
    const auto compressed = read_bytes(input, stream.data, want);
    if (!compressed) {
      loaded.reason = "it could not be read";
      return loaded;
    }
    const std::size_t limit = std::min(
        kMaxObjectStream, std::max<std::size_t>(compressed->size(), 1) * kMaxInflation);
    stream::Inflated inflated = stream::inflate_zlib(*compressed, limit);
    if (inflated.status == stream::InflateStatus::kOk) {
      loaded.content = std::move(inflated.bytes);
      loaded.compressed = inflated.consumed;
      return loaded;
    }
    if (stream.length || want >= most) {
      loaded.reason = inflated.status == stream::InflateStatus::kTooLarge
                          ? "it inflates to more than the run reads"
                          : "its data does not inflate";
      return loaded;
    }
    want = std::min(most, want * 2);
  }
}

// Where object `number` lies in the inflated data, from its offset in the
// header of «number offset» pairs to the next object's.
struct ObjectSpan {
  std::int32_t number = 0;
  std::size_t begin = 0, end = 0;
};

std::optional<std::vector<ObjectSpan>> objects_of(Bytes content,
                                                  const StreamRecord& stream) {
  if (stream.first < 0 || static_cast<std::size_t>(stream.first) > content.size() ||
      stream.count < 1) {
    return std::nullopt;
  }
  const auto first = static_cast<std::size_t>(stream.first);
  const Bytes header = content.first(first);
  std::vector<ObjectSpan> objects;
  std::size_t at = 0;
  for (std::int32_t i = 0; i < stream.count; ++i) {
    const auto number = pdf::integer_at(header, pdf::skip_space(header, at));
    if (!number) return std::nullopt;
    const auto offset = pdf::integer_at(header, pdf::skip_space(header, number->end));
    if (!offset) return std::nullopt;
    at = offset->end;
    const std::size_t begin = first + static_cast<std::size_t>(offset->value);
    if (begin > content.size() || (!objects.empty() && begin < objects.back().begin)) {
      return std::nullopt;
    }
    if (!objects.empty()) objects.back().end = begin;
    objects.push_back(ObjectSpan{number->value, begin, content.size()});
  }
  return objects;
}

// The objects as plain objects: «\n12 0 obj\n», the object's bytes,
// «\nendobj\n», so that the window steps read them as they read a file's.
struct ObjectText {
  std::vector<unsigned char> bytes;
  std::vector<std::size_t> starts;  // where each object's bytes begin in `bytes`
};

ObjectText text_of(Bytes content, const std::vector<ObjectSpan>& objects) {
  ObjectText text;
  for (const auto& object : objects) {
    std::string head(1, '\n');
    head.append(std::to_string(object.number)).append(" 0 obj\n");
    text.bytes.insert(text.bytes.end(), head.begin(), head.end());
    text.starts.push_back(text.bytes.size());
    text.bytes.insert(text.bytes.end(),
                      content.begin() + static_cast<std::ptrdiff_t>(object.begin),
                      content.begin() + static_cast<std::ptrdiff_t>(object.end));
    for (char c : std::string_view("\nendobj\n"))
      text.bytes.push_back(static_cast<unsigned char>(c));
  }
  return text;
}

// The window stream's read block for a text: its size in whole chunks, up to
// the default. (The default block alone, 256 KiB allocated and cleared for
// each of thousands of object streams of a few KiB, cost more than all the
// rest of their reading.)
std::size_t block_for(std::size_t size) {
  const std::size_t chunks = (size + stream::kChunkSize - 1) / stream::kChunkSize;
  return std::clamp<std::size_t>(chunks, 1,
                                 stream::kDefaultReadBlock / stream::kChunkSize) *
         stream::kChunkSize;
}

}  // namespace

std::vector<ObjectStreamNote> read_streams(stream::ByteFile& input, std::uint64_t size,
                                           AllSpaces& facts) {
  std::vector<ObjectStreamNote> notes;
  if (facts.streams().empty()) return notes;
  const bool encrypted = file_is_encrypted(input, size);
  // The objects of an object stream are no streams: none is recorded while
  // they are read, and the records stay where they are.
  facts.record_streams(false);
  const auto streams = facts.streams();
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const StreamRecord& stream = streams[i];
    if (stream.kind == StreamRecord::Kind::kProfile) {
      // An encrypted profile is no header.
      if (!encrypted) {
        facts.set_header(stream.object, stream.generation, read_header(input, stream));
      }
      continue;
    }
    if (encrypted) {
      notes.push_back({i, "the file is encrypted"});
      continue;
    }
    const Loaded loaded = load(input, size, stream);
    if (!loaded.reason.empty()) {
      notes.push_back({i, loaded.reason});
      continue;
    }
    const auto objects = objects_of(loaded.content, stream);
    if (!objects) {
      notes.push_back({i, "its header of object numbers and offsets does not read"});
      continue;
    }
    const ObjectText text = text_of(loaded.content, *objects);
    // Whether an «/ICCBased» is there to rewrite comes with the facts.
    bool icc_based = false;
    MemorySource source(text.bytes);
    (void)stream::run_pass(
        source, nullptr, stream::RunStep([&](const stream::PlacedWindow& window) {
          icc_based = collect_window_all(window.bytes, window.before, facts) || icc_based;
          return false;
        }),
        block_for(text.bytes.size()));
    if (icc_based) notes.push_back({i, {}});
  }
  facts.record_streams(true);
  return notes;
}

std::optional<StreamData> rewrite_object_stream(stream::ByteFile& input,
                                                std::uint64_t size,
                                                const StreamRecord& stream,
                                                const AllSpaces& facts,
                                                const ChangeVisitor& on_change,
                                                const LeaveVisitor& on_leave) {
  Loaded loaded = load(input, size, stream);
  if (!loaded.reason.empty()) return std::nullopt;
  const auto objects = objects_of(loaded.content, stream);
  if (!objects) return std::nullopt;
  ObjectText text = text_of(loaded.content, *objects);

  struct Held {
    std::string name, replacement;
  };
  std::vector<Held> changes;
  std::vector<unsigned char> rewritten;
  rewritten.reserve(text.bytes.size());
  MemorySource source(text.bytes);
  MemorySink sink(rewritten);
  const auto pass = stream::run_pass(
      source, &sink, stream::RunStep([&](const stream::PlacedWindow& window) {
        bool changed = false;
        convert_window_all(
            window.bytes, window.before, facts,
            [&](const Change& change) {
              changed = true;
              changes.push_back(
                  {std::string(change.name), std::string(change.replacement)});
            },
            &on_leave);
        return changed;
      }),
      block_for(text.bytes.size()));
  if (changes.empty() || pass.status != stream::PassStatus::kOk ||
      rewritten.size() != text.bytes.size()) {
    return std::nullopt;
  }
  // Each object's bytes back where they lie in the data: the rewrites keep
  // every length.
  for (std::size_t i = 0; i < objects->size(); ++i) {
    const auto& object = (*objects)[i];
    std::copy_n(rewritten.begin() + static_cast<std::ptrdiff_t>(text.starts[i]),
                object.end - object.begin,
                loaded.content.begin() + static_cast<std::ptrdiff_t>(object.begin));
  }
  // Checked already: it inflates to the content, to its last byte.
  auto data = stream::deflate_zlib_exact(loaded.content, loaded.compressed);
  const bool sound = data.has_value();
  for (const auto& change : changes) {
    if (sound) {
      on_change(Change{0, 0, change.name, change.replacement});
    } else {
      on_leave(Leave{0, change.name, "in an object stream that would not fit"});
    }
  }
  if (!sound) return std::nullopt;
  return StreamData{stream.data, std::move(*data)};
}

}  // namespace iccdrop::engine
