// The window steps of the --all mode: every ICC-based colour space whose
// profile declares /N 1, 3 or 4 is rewritten in place, read by PDF's own
// token rules. The default steps (collect.h, convert.h) run inside these, so
// every rewrite the default mode makes is made here with its own line; the
// markers *0* and *2* are not written in this mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "colorspace/convert.h"
#include "colorspace/icc_header.h"
#include "colorspace/registry.h"

namespace iccdrop::colorspace {

// How the windows share the wide recognition. Its anchors (the '/' of «/N»,
// of a resource name, of «/ICCBased») are handled by the window in which
// they lie at offsets kAllLookBehind .. kAllLookBehind + 4095, the first
// window's from 0: every offset of the file falls to exactly one window,
// with at least this many bytes before it to look back on («7 0 obj» before
// an array, «5 0 obj <<» before a profile's /N) and 4096 - kAllLookBehind
// after the zone to read ahead.
inline constexpr std::size_t kAllLookBehind = 1024;

// A stream whose data --all reads between the passes: a profile's, for its
// header, or an object stream's, for the objects in it.
struct StreamRecord {
  enum class Kind : std::uint8_t { kProfile, kObjectStream };
  // kOther: another filter, a chain of them, or a /DecodeParms predictor.
  enum class Filter : std::uint8_t { kNone, kFlate, kOther };
  Kind kind = Kind::kProfile;
  Filter filter = Filter::kNone;
  std::int32_t object = 0, generation = 0;
  std::uint64_t data = 0;  // file offset of the data, after «stream» and its line end
  std::optional<std::uint64_t> length;  // a direct /Length, in bytes
  std::int32_t count = 0, first = 0;    // an object stream's /N and /First
};

// The facts pass 1 of --all collects. Memory grows with the facts only: a
// record per object that any fact is about, and the bytes of each name.
class AllSpaces {
 public:
  AllSpaces();

  // The default mode's facts, as collect_window records them (less numbers
  // read from the middle of a digit run).
  const Registry& defaults() const { return records_; }
  // The /N of profile stream (object, generation), the newest recorded,
  // saturated to 16 bits (only 1, 3 and 4 convert).
  [[nodiscard]] std::optional<std::int32_t> profile_components(
      std::int32_t object, std::int32_t generation) const;
  // The key that names object (object, generation) as a colour space.
  [[nodiscard]] std::optional<std::string_view> name_of(std::int32_t object,
                                                        std::int32_t generation) const;
  // Whether that name is weak (see add_name).
  [[nodiscard]] bool name_is_weak(std::int32_t object, std::int32_t generation) const;
  std::size_t profile_count() const { return records_.components_count_; }
  std::size_t name_count() const { return records_.wide_names_count_; }

  // Records a fact (pass 1). A weak name (the key «ColorSpace» of an image
  // or a DeviceN /Process dictionary, a group's «CS») never replaces a
  // strong one (a resource name); otherwise the newer replaces the older.
  void add_profile(std::int32_t object, std::int32_t generation, std::int32_t components);
  void add_name(std::int32_t object, std::int32_t generation, std::string_view name,
                bool weak);
  // Records the facts of `later` as if they came after these, in its order.
  void merge(const AllSpaces& later);
  // The facts kept, of every kind.
  std::size_t size() const {
    return records_.size() + profile_count() + name_count() + streams_.size();
  }

  // The profile and object streams found, in file order; none are recorded
  // while streams are off (the objects of an object stream hold none).
  std::span<const StreamRecord> streams() const { return streams_; }
  void record_streams(bool on) { record_streams_ = on; }
  void add_stream(const StreamRecord& stream) {
    if (record_streams_) streams_.push_back(stream);
  }
  // What the header of profile (object, generation) says: kUnread unless
  // set_header was told otherwise.
  [[nodiscard]] ProfileHeader profile_header(std::int32_t object,
                                             std::int32_t generation) const;
  void set_header(std::int32_t object, std::int32_t generation, ProfileHeader header);

 private:
  friend bool collect_window_all(std::span<const unsigned char>,
                                 std::optional<unsigned char>, AllSpaces&, std::uint64_t);

  // Every fact in one record per object: the default mode's, and this
  // mode's profile /N and name.
  Registry records_;
  std::vector<StreamRecord> streams_;
  bool record_streams_ = true;
  // The headers that keep a colour space ICC-based, by object and
  // generation: few, so a map.
  std::unordered_map<std::uint64_t, ProfileHeader> headers_;
};

// Pass-1 window step of --all. `before` is the byte that precedes the window
// in the file, none for the first window (so a window that starts inside a
// number or a name knows it). Records:
// - the default mode's facts, as collect_window does, except a match whose
//   first number is the tail of a digit run («12|34 0 obj» at a window's
//   start is not object 34);
// - profiles: «5 0 obj << /Length 2612 /N 3 … >> stream» records (5, 0, 3):
//   a stream whose dictionary has /N among its own keys (not in a nested
//   dictionary, not in a string), with a direct integer value;
// - names: «/CS0 12 0 R» and the other keys of a «/ColorSpace << … >>»
//   dictionary, keys beginning /CS, or /Cs and longer than 7 bytes (the
//   default step keeps the shorter ones whole), before a reference
//   anywhere, and «/ColorSpace 12 0 R» (weak).
// - streams: each profile stream above, and each «12 0 obj << /Type /ObjStm
//   /N 40 /First 310 /Length 2210 /Filter /FlateDecode >> stream», keys in
//   any order, with where its data begins (`offset` is the window's in the
//   file) and its filter; an object stream is not a profile.
// Returns what collect_window returns: whether an «/ICCBased» starts in the
// window's first 4096 bytes.
bool collect_window_all(std::span<const unsigned char> window,
                        std::optional<unsigned char> before, AllSpaces& facts,
                        std::uint64_t offset = 0);

// A colour space --all saw and left ICC-based, and why: "the profile
// declares /N 2".
struct Leave {
  std::size_t offset = 0;  // window offset of the array's '['
  std::string_view name;
  std::string_view reason;
};
using LeaveVisitor = std::function<void(const Leave& leave)>;

// Pass-2 window step of --all: rewrites in place, never changes the window's
// length; reports each rewrite through on_change (Change::name points into
// storage that lives until on_change returns). `before` as above, as pass 2
// sees it (after the previous window's rewrites).
// First the default step, as convert_window, but neither to a marker nor for
// a number read from the middle of a digit run; then every «[/ICCBased 5 0 R]»
// left, direct or an object of its own, whose profile 5 0 declares /N 1, 3
// or 4, from '[' to ']' into the device name padded with spaces. The name
// reported: the key before a direct array («/CS0 [/ICCBased …]» gives CS0);
// for an array object, the name recorded for it, else «7 0 obj»; for a
// direct array that no key names (an Indexed or Separation base), its
// profile, «5 0 obj». A profile whose header says another colour space
// (icc_header.h) keeps its arrays ICC-based, in the default step too.
// `on_leave`, where given, hears of each array in the zone left ICC-based.
void convert_window_all(std::span<unsigned char> window,
                        std::optional<unsigned char> before, const AllSpaces& facts,
                        const ChangeVisitor& on_change,
                        const LeaveVisitor* on_leave = nullptr);

}  // namespace iccdrop::colorspace
