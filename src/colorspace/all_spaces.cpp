#include "colorspace/all_spaces.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "colorspace/patterns.h"
#include "colorspace/window_scan_fixed.h"
#include "match/fixed_sequence.h"
#include "match/pdf_token.h"
#include "stream/window_stream.h"

namespace iccdrop::colorspace {

AllSpaces::AllSpaces() = default;

namespace {
std::uint64_t object_key(std::int32_t object, std::int32_t generation) {
  return std::uint64_t{static_cast<std::uint32_t>(object)} << 32 |
         static_cast<std::uint32_t>(generation);
}
}  // namespace

std::optional<std::int32_t> AllSpaces::profile_components(std::int32_t object,
                                                          std::int32_t generation) const {
  const auto* record = records_.find_value(object, generation);
  if (record == nullptr || (record->flags & Registry::kHasComponents) == 0)
    return std::nullopt;
  return record->components;
}

std::optional<std::string_view> AllSpaces::name_of(std::int32_t object,
                                                   std::int32_t generation) const {
  const auto* record = records_.find_name(object, generation);
  if (record == nullptr || (record->flags & Registry::kHasWideName) == 0)
    return std::nullopt;
  return records_.wide_name(*record);
}

bool AllSpaces::name_is_weak(std::int32_t object, std::int32_t generation) const {
  const auto* record = records_.find_name(object, generation);
  return record != nullptr && (record->flags & Registry::kWideNameWeak) != 0;
}

void AllSpaces::add_profile(std::int32_t object, std::int32_t generation,
                            std::int32_t components) {
  records_.put_components(records_.value_record(object, generation), components);
}

void AllSpaces::add_name(std::int32_t object, std::int32_t generation,
                         std::string_view name, bool weak) {
  auto& record = records_.name_record(object, generation);
  const bool strong = (record.flags & Registry::kHasWideName) != 0 &&
                      (record.flags & Registry::kWideNameWeak) == 0;
  if (weak && strong) return;
  records_.put_wide_name(record, name, weak);
}

ProfileHeader AllSpaces::profile_header(std::int32_t object,
                                        std::int32_t generation) const {
  if (headers_.empty()) return ProfileHeader::kUnread;
  const auto found = headers_.find(object_key(object, generation));
  return found == headers_.end() ? ProfileHeader::kUnread : found->second;
}

void AllSpaces::set_header(std::int32_t object, std::int32_t generation,
                           ProfileHeader header) {
  if (header_allows_device(header)) {
    headers_.erase(object_key(object, generation));
  } else {
    headers_[object_key(object, generation)] = header;
  }
}

void AllSpaces::merge(const AllSpaces& later) {
  registry_merge(records_, later.records_);
  streams_.insert(streams_.end(), later.streams_.begin(), later.streams_.end());
  // The newest name of each object in `later` stands for all of its names
  // there: a weak name that followed a strong one left the strong one, and
  // adding that name here does what adding them all would.
  for (std::size_t r = 0; r < later.records_.values_.size(); ++r) {
    const auto& fact = later.records_.values_[r];
    if (fact.flags & Registry::kHasComponents)
      add_profile(fact.object_number, fact.generation, fact.components);
  }
  for (std::size_t r = 0; r < later.records_.names_.size(); ++r) {
    const auto& fact = later.records_.names_[r];
    if (fact.flags & Registry::kHasWideName) {
      add_name(fact.object_number, fact.generation, later.records_.wide_name(fact),
               (fact.flags & Registry::kWideNameWeak) != 0);
    }
  }
}

namespace {

namespace pdf = match::pdf;
using Bytes = std::span<const unsigned char>;

// The offsets whose anchors this window handles: see kAllLookBehind.
struct Zone {
  std::size_t begin = 0, end = 0;
};

Zone zone_of(std::size_t window_size, std::optional<unsigned char> before) {
  const std::size_t begin = before ? kAllLookBehind : 0;
  const std::size_t end = std::min(window_size, kAllLookBehind + stream::kChunkSize);
  return {std::min(begin, end), end};
}

// A default-mode match that starts at offset 0 with a digit, right after a
// digit in the file, reads its first number from the middle of a digit run:
// «12|34 0 obj» is not object 34. (Elsewhere the walk back takes the whole
// run.)
bool starts_in_digit_run(Bytes window, std::optional<unsigned char> before,
                         std::size_t start) {
  return start == 0 && before && pdf::is_digit(*before) && !window.empty() &&
         pdf::is_digit(window[0]);
}

// Finds the '/' of the zone's anchors in order: each '/' followed by one of
// two given bytes, or every '/' with `every_slash`. memchr skips to the next
// '/' and SSE2 finds the others in the 64 bytes after it
// (window_scan_fixed.h): near-miss input has a '/' every 5 bytes, image data
// one in 256. The search ends with the zone.
class SlashCursor {
 public:
  SlashCursor(Bytes window, const Zone& zone, char second, char other_second,
              bool every_slash = false)
      : candidates_(window.first(std::min(window.size(), zone.end + 1)), '/', second,
                    other_second, every_slash ? zone.begin : window.size()),
        from_(zone.begin),
        end_(zone.end) {}

  std::optional<std::size_t> next() {
    if (from_ >= end_) return std::nullopt;
    const auto at = candidates_.next(from_);
    if (!at || *at >= end_) {
      from_ = end_;
      return std::nullopt;
    }
    from_ = *at + 1;
    return at;
  }

  // Goes on after `at` (after a rewrite up to there).
  void skip_to(std::size_t at) {
    if (at > from_) {
      from_ = at;
      candidates_.forget();
    }
  }

 private:
  scan_detail::CandidateCursor candidates_;
  std::size_t from_, end_;
};

bool text_at(Bytes window, std::size_t at, std::string_view text) {
  return window.size() - std::min(at, window.size()) >= text.size() &&
         std::memcmp(window.data() + at, text.data(), text.size()) == 0;
}

bool is_device_count(std::int32_t components) {
  return components == 1 || components == 3 || components == 4;
}

// The start of the unsigned integer token that ends at `end`, or none: no
// digits there, a regular byte before them, or a run that may go on before
// the window.
std::optional<std::size_t> integer_back(Bytes window, std::optional<unsigned char> before,
                                        std::size_t end) {
  std::size_t p = end;
  while (p > 0 && pdf::is_digit(window[p - 1])) --p;
  if (p == end) return std::nullopt;
  if (p > 0) {
    if (pdf::is_regular(window[p - 1])) return std::nullopt;
  } else if (before && pdf::is_regular(*before)) {
    return std::nullopt;
  }
  return p;
}

struct ObjectHeader {
  std::int32_t object = 0, generation = 0;
  std::size_t start = 0;  // of the object number
  std::size_t end = 0;    // just after «obj»
};

// «5 0 obj» whose «obj» keyword is at `obj`.
std::optional<ObjectHeader> header_at(Bytes window, std::optional<unsigned char> before,
                                      std::size_t obj) {
  if (obj == 0 || pdf::is_regular(window[obj - 1]) ||
      !pdf::keyword_at(window, obj, "obj"))
    return std::nullopt;
  const std::size_t generation_end = pdf::skip_space_back(window, 0, obj);
  if (generation_end == obj) return std::nullopt;
  const auto generation_start = integer_back(window, before, generation_end);
  if (!generation_start) return std::nullopt;
  const std::size_t object_end = pdf::skip_space_back(window, 0, *generation_start);
  if (object_end == *generation_start) return std::nullopt;
  const auto object_start = integer_back(window, before, object_end);
  if (!object_start) return std::nullopt;
  const auto object = pdf::integer_at(window, *object_start);
  const auto generation = pdf::integer_at(window, *generation_start);
  if (!object || !generation) return std::nullopt;
  return ObjectHeader{object->value, generation->value, *object_start, obj + 3};
}

bool text_is(Bytes value, std::string_view text) {
  return value.size() == text.size() &&
         std::memcmp(value.data(), text.data(), text.size()) == 0;
}

// «/FlateDecode» or «[/FlateDecode]»: kFlate; any other value: kOther.
StreamRecord::Filter filter_of(Bytes value) {
  if (text_is(value, "/FlateDecode")) return StreamRecord::Filter::kFlate;
  if (value.empty() || value[0] != '[') return StreamRecord::Filter::kOther;
  const std::size_t name = pdf::skip_space(value, 1);
  const std::size_t name_end = pdf::regular_end(value, name + 1);
  if (name >= value.size() || value[name] != '/' ||
      !text_is(value.subspan(name, name_end - name), "/FlateDecode") ||
      pdf::skip_space(value, name_end) + 1 != value.size()) {
    return StreamRecord::Filter::kOther;
  }
  return StreamRecord::Filter::kFlate;
}

// Whether a /DecodeParms value may change what the filter gives: a
// dictionary (alone or in a one-element array) with a /Predictor above 1,
// or anything but such a dictionary and null.
bool has_predictor(Bytes value) {
  if (text_is(value, "null")) return false;
  std::size_t at = 0;
  if (!value.empty() && value[0] == '[') at = pdf::skip_space(value, 1);
  bool predictor = false;
  const auto end = pdf::for_each_dict_entry(value, at, [&](const pdf::DictEntry& entry) {
    if (entry.key != "Predictor") return;
    const auto n = pdf::integer_at(value, entry.value);
    predictor = predictor || !n || n->value > 1;
  });
  if (!end) return true;
  if (at > 0 && pdf::skip_space(value, *end) + 1 != value.size()) return true;
  return predictor;
}

// An integer with PDF's optional sign: «-1» in «/N -1», which a profile
// declares as it may any other count.
std::optional<pdf::Integer> signed_integer_at(Bytes w, std::size_t at) {
  const bool signed_ = at < w.size() && (w[at] == '-' || w[at] == '+');
  auto integer = pdf::integer_at(w, signed_ ? at + 1 : at);
  if (integer && signed_ && w[at] == '-') integer->value = -integer->value;
  return integer;
}

// Pass 1's search for profile streams in one window. A candidate is a «/N 3»
// key in the zone; the profile it may belong to is the last «5 0 obj <<»
// before it, whose dictionary is read from «<<» to «>>», taking /N among its
// own keys only, and must be followed by «stream». Keys with no «stream»
// keyword after them in the window are dropped first: the near-miss input
// holds thousands of «obj << /N 3» that are not streams. Each 'j' and each
// 'r' of the window is looked at once, and each dictionary read once: the
// work is linear in the window's size.
class ProfileSearch {
 public:
  ProfileSearch(Bytes window, std::optional<unsigned char> before, AllSpaces& facts,
                std::uint64_t offset)
      : window_(window), before_(before), facts_(facts), offset_(offset) {}

  // `key` holds the '/' of «/N».
  void at_key(std::size_t key) {
    if (key < read_end_) return;  // inside the dictionary read last
    // A stream to come; «/N 3» and not «/N 12 0 R».
    if (!stream_after(key)) return;
    const std::size_t value = pdf::skip_space(window_, key + 2);
    if (!signed_integer_at(window_, value) || pdf::reference_at(window_, value)) return;
    find_candidates_before(key);
    if (!candidate_ || *candidate_ == read_candidate_) return;
    read_candidate_ = *candidate_;
    const auto header = header_at(window_, before_, *candidate_);
    if (!header) return;
    // A value and a flag, not an optional: GCC 12 takes an optional's fields
    // here for uninitialised.
    std::int32_t components = 0;
    bool has_components = false;
    StreamRecord stream;
    bool object_stream = false, has_first = false;
    const std::size_t dictionary = pdf::skip_space(window_, header->end);
    std::size_t last_value_end = dictionary;
    const auto end =
        pdf::for_each_dict_entry(window_, dictionary, [&](const pdf::DictEntry& entry) {
          last_value_end = entry.value_end;
          const Bytes text = window_.subspan(entry.value, entry.value_end - entry.value);
          if (entry.key == "N") {
            // A direct integer: «/N 3», not «/N 12 0 R».
            const auto n = signed_integer_at(window_, entry.value);
            has_components = n && n->end == entry.value_end;
            if (has_components) components = n->value;
          } else if (entry.key == "Type") {
            object_stream = text_is(text, "/ObjStm");
          } else if (entry.key == "Filter") {
            stream.filter = filter_of(text);
          } else if (entry.key == "DecodeParms") {
            if (has_predictor(text)) stream.filter = StreamRecord::Filter::kOther;
          } else if (entry.key == "Length") {
            const auto length = pdf::integer_at(window_, entry.value);
            if (length && length->end == entry.value_end) {
              stream.length = static_cast<std::uint64_t>(length->value);
            }
          } else if (entry.key == "First") {
            const auto first = pdf::integer_at(window_, entry.value);
            has_first = first && first->end == entry.value_end;
            if (has_first) stream.first = first->value;
          }
        });
    read_end_ = std::max(read_end_, end.value_or(last_value_end));
    if (!end || !has_components) return;
    const std::size_t keyword = pdf::skip_space(window_, *end);
    if (!pdf::keyword_at(window_, keyword, "stream")) return;
    if (!object_stream)
      facts_.add_profile(header->object, header->generation, components);
    if (object_stream && !has_first) return;
    // The data begins after the keyword's line end: CR LF or LF (CR alone
    // is taken too).
    std::size_t data = keyword + 6;
    if (data + 1 >= window_.size()) return;
    if (window_[data] == '\r') ++data;
    if (window_[data] == '\n') ++data;
    stream.kind =
        object_stream ? StreamRecord::Kind::kObjectStream : StreamRecord::Kind::kProfile;
    stream.object = header->object;
    stream.generation = header->generation;
    stream.data = offset_ + data;
    stream.count = components;
    facts_.add_stream(stream);
  }

 private:
  // Whether a «stream» keyword follows `key` in the window, found from its
  // 'r' by memchr.
  bool stream_after(std::size_t key) {
    if (next_stream_ != kNone && next_stream_ > key) return true;
    std::size_t from = std::max(stream_searched_, key + 3);
    while (from < window_.size()) {
      const void* r = std::memchr(window_.data() + from, 'r', window_.size() - from);
      if (r == nullptr) break;
      const auto at =
          static_cast<std::size_t>(static_cast<const unsigned char*>(r) - window_.data());
      from = at + 1;
      if (window_[at - 2] == 's' && window_[at - 1] == 't' &&
          pdf::keyword_at(window_, at - 2, "stream")) {
        next_stream_ = at - 2;
        stream_searched_ = from;
        return true;
      }
    }
    stream_searched_ = window_.size();
    next_stream_ = kNone;
    return false;
  }

  // Moves candidate_ to the last «obj <<» before `key`: memchr finds each
  // 'j' of the window once. The numbers before it are read only for the
  // candidate a keyword asks for.
  void find_candidates_before(std::size_t key) {
    std::size_t from = std::max(searched_, std::size_t{2});
    while (from < key) {
      const void* j = std::memchr(window_.data() + from, 'j', key - from);
      if (j == nullptr) break;
      const auto at =
          static_cast<std::size_t>(static_cast<const unsigned char*>(j) - window_.data());
      if (window_[at - 2] == 'o' && window_[at - 1] == 'b' &&
          text_at(window_, pdf::skip_space(window_, at + 1), "<<")) {
        candidate_ = at - 2;
      }
      from = at + 1;
    }
    searched_ = std::max(searched_, key);
  }

  Bytes window_;
  std::optional<unsigned char> before_;
  AllSpaces& facts_;
  std::uint64_t offset_;                   // the window's in the file
  std::size_t searched_ = 0;               // 'j's before this were looked at
  std::optional<std::size_t> candidate_;   // the «obj» of the last «obj <<» seen
  std::size_t read_candidate_ = SIZE_MAX;  // the candidate read last
  std::size_t read_end_ = 0;               // where the dictionary read last ends
  static constexpr std::size_t kNone = SIZE_MAX;
  std::size_t next_stream_ = kNone;  // the 's' of a «stream» keyword
  std::size_t stream_searched_ = 0;  // 'r's before this were looked at
};

// Pass 1's names, from the '/' of a «/C…» key at `at`: every key of a
// «/ColorSpace << … >>» dictionary, «/ColorSpace 7 0 R» (weak), and «/CS…»
// and «/Cs…» keys before a reference anywhere («/CS» alone, a group's, is
// weak). A «/Cs…» name of at most 7 bytes is left to the default step,
// which records it whole: reading it again cost a third of this mode's work
// on near-miss input, where every other key is one.
void collect_name(Bytes window, std::size_t at, AllSpaces& facts) {
  if (at + 2 >= window.size()) return;
  const unsigned char third = window[at + 2];
  if (third != 's' && third != 'S' && third != 'o') return;
  const std::size_t key_end = pdf::regular_end(window, at + 1);
  if (third == 's' && key_end - at - 1 <= kMaxNameLength) return;
  const std::string_view key(reinterpret_cast<const char*>(window.data()) + at + 1,
                             key_end - at - 1);
  const std::size_t value = pdf::skip_space(window, key_end);
  if (third == 'o') {
    if (key != "ColorSpace") return;
    if (text_at(window, value, "<<")) {
      // A resource dictionary of colour spaces: every key names one.
      (void)pdf::for_each_dict_entry(window, value, [&](const pdf::DictEntry& entry) {
        const auto reference = pdf::reference_at(window, entry.value);
        if (reference && reference->end == entry.value_end) {
          facts.add_name(reference->object, reference->generation, entry.key, false);
        }
      });
    } else if (const auto reference = pdf::reference_at(window, value)) {
      facts.add_name(reference->object, reference->generation, key, true);
    }
    return;
  }
  if (const auto reference = pdf::reference_at(window, value)) {
    facts.add_name(reference->object, reference->generation, key, key == "CS");
  }
}

// «[» to the match's end, blanked, with the device name over its front.
void rewrite(std::span<unsigned char> window, std::size_t open, std::size_t end,
             std::string_view replacement) {
  std::fill(window.begin() + static_cast<std::ptrdiff_t>(open),
            window.begin() + static_cast<std::ptrdiff_t>(end), ' ');
  std::copy(replacement.begin(), replacement.end(),
            window.begin() + static_cast<std::ptrdiff_t>(open));
}

// The default step's rewrite of a match, or none: what convert_window does,
// less the markers and the numbers read from the middle of a digit run.
struct DefaultRewrite {
  std::size_t open = 0, end = 0;
  std::string_view replacement;
  std::array<char, kMaxNameLength + 1> name{};
};

std::optional<DefaultRewrite> default_rewrite(Bytes window,
                                              std::optional<unsigned char> before,
                                              std::size_t start,
                                              const match::SequenceMatch& match,
                                              const AllSpaces& facts) {
  const Registry& registry = facts.defaults();
  if (starts_in_digit_run(window, before, start)) return std::nullopt;
  const auto entry = registry_find(registry, kResourceEntry, match.values[kArrayObject],
                                   match.values[kArrayGeneration]);
  if (!entry) return std::nullopt;
  const auto profile =
      registry_find(registry, kProfileStream, match.values[kArrayProfileObject],
                    match.values[kArrayProfileGeneration]);
  if (!profile || !is_device_count(profile->value)) return std::nullopt;
  if (!header_allows_device(facts.profile_header(
          match.values[kArrayProfileObject], match.values[kArrayProfileGeneration]))) {
    return std::nullopt;
  }
  DefaultRewrite rewrite;
  rewrite.end = start + match.total_length;
  const auto* open = static_cast<const unsigned char*>(
      std::memchr(window.data() + start, '[', match.total_length));
  rewrite.open = static_cast<std::size_t>(open - window.data());
  rewrite.replacement =
      kDeviceSpaceByComponents[static_cast<std::size_t>(profile->value)];
  rewrite.name = entry->name;
  return rewrite;
}

// Whether the default step converts the array whose «/ICCBased» is at
// `anchor`, in this window or a later one.
bool default_converts(Bytes window, std::optional<unsigned char> before,
                      std::size_t anchor, const AllSpaces& facts) {
  const auto start = scan_detail::walk_back_fixed<kIccArrayPattern>(window, 0, anchor);
  if (!start) return false;
  match::SequenceMatch match;
  if (!match::match_sequence_at_start_fixed<kIccArrayPattern>(window.subspan(*start),
                                                              match)) {
    return false;
  }
  return default_rewrite(window, before, *start, match, facts).has_value();
}

// «[/ICCBased 5 0 R]» from the '/' of its «/ICCBased»: where '[' and the end
// after ']' lie, and the profile.
struct IccArray {
  std::size_t open = 0, end = 0;
  std::int32_t profile = 0, generation = 0;
};

std::optional<IccArray> icc_array_at(Bytes window, std::size_t anchor) {
  constexpr std::string_view kName = "/ICCBased";
  if (!pdf::keyword_at(window, anchor, kName)) return std::nullopt;
  const auto reference =
      pdf::reference_at(window, pdf::skip_space(window, anchor + kName.size()));
  if (!reference) return std::nullopt;
  const std::size_t close = pdf::skip_space(window, reference->end);
  if (close >= window.size() || window[close] != ']') return std::nullopt;
  const std::size_t open = pdf::skip_space_back(window, 0, anchor);
  // Only white space back to the window's start: the '[', if any, lies
  // before it, out of sight.
  if (open == 0 || window[open - 1] != '[') return std::nullopt;
  return IccArray{open - 1, close + 1, reference->object, reference->generation};
}

// Room for the longest name the wide step reports that is not a key from
// the window: «2147483647 2147483647 obj».
using NumberName = std::array<char, 32>;

std::string_view object_name(NumberName& buffer, std::int32_t object,
                             std::int32_t generation) {
  char* p = buffer.data();
  char* const end = buffer.data() + buffer.size();
  p = std::to_chars(p, end, object).ptr;
  *p++ = ' ';
  p = std::to_chars(p, end, generation).ptr;
  for (char c : std::string_view(" obj")) *p++ = c;
  return {buffer.data(), static_cast<std::size_t>(p - buffer.data())};
}

// An array object's name: a resource name recorded for it (the default
// step's /Cs… names among them), else a weak one, else «7 0 obj».
std::string_view array_object_name(const AllSpaces& facts, const ObjectHeader& header,
                                   NumberName& buffer) {
  const auto name = facts.name_of(header.object, header.generation);
  if (name && !facts.name_is_weak(header.object, header.generation)) return *name;
  if (const auto entry = registry_find(facts.defaults(), kResourceEntry, header.object,
                                       header.generation)) {
    const std::size_t length = ::strnlen(entry->name.data(), entry->name.size());
    std::copy_n(entry->name.data(), length, buffer.data());
    return {buffer.data(), length};
  }
  if (name) return *name;
  return object_name(buffer, header.object, header.generation);
}

// The name a wide rewrite reports (see convert_window_all).
std::string_view name_for(Bytes window, std::optional<unsigned char> before,
                          const IccArray& array, const AllSpaces& facts,
                          NumberName& buffer) {
  const std::size_t token_end = pdf::skip_space_back(window, 0, array.open);
  const auto keyless = [&] {
    return object_name(buffer, array.profile, array.generation);
  };
  if (token_end == 0) return keyless();
  // An array object: «7 0 obj [/ICCBased 5 0 R]».
  if (token_end >= 3 && text_at(window, token_end - 3, "obj")) {
    const auto header = header_at(window, before, token_end - 3);
    if (!header) return keyless();
    return array_object_name(facts, *header, buffer);
  }
  // A key: «/CS0 [/ICCBased 5 0 R]». A name after '[' or after /Separation
  // is an element of a colour-space array, not a key.
  if (!pdf::is_regular(window[token_end - 1])) return keyless();
  std::size_t slash = token_end;
  while (slash > 0 && pdf::is_regular(window[slash - 1])) --slash;
  if (slash == 0 || window[slash - 1] != '/') return keyless();
  --slash;
  const std::size_t before_key = pdf::skip_space_back(window, 0, slash);
  if (before_key > 0 && window[before_key - 1] == '[') return keyless();
  if (before_key >= 11 && text_at(window, before_key - 11, "/Separation")) {
    return keyless();
  }
  return {reinterpret_cast<const char*>(window.data()) + slash + 1,
          token_end - slash - 1};
}

}  // namespace

bool collect_window_all(std::span<const unsigned char> window,
                        std::optional<unsigned char> before, AllSpaces& facts,
                        std::uint64_t offset) {
  // The wide recognition, over this window's zone: every key is found from
  // its '/' and the byte after it, the zone's «/N» and «/C…» keys. (Names
  // such as «/R12» and «/DefaultRGB» are read inside «/ColorSpace << … >>»
  // only: a search of the window for them cost as much as all the others.)
  const Zone zone = zone_of(window.size(), before);
  ProfileSearch profiles(window, before, facts, offset);
  const auto visit_key = [&](std::size_t at) {
    if (window[at + 1] == 'C') {
      collect_name(window, at, facts);
    } else if (at + 2 == window.size() || !pdf::is_regular(window[at + 2])) {
      profiles.at_key(at);
    }
  };
  scan_detail::KeyLane keys('N', 'C', zone.begin, zone.end, visit_key);
  // The default step, as collect_window, over the default zone, in the same
  // scan: each kind of fact goes to a table of its own, so the order
  // between the two readings does not matter.
  return for_each_entry_and_profile_fixed(
      window,
      [&](std::size_t m, const match::SequenceMatch& match) {
        const std::string_view name(reinterpret_cast<const char*>(window.data() + m + 1),
                                    match.lengths[kEntryName] - 1);
        registry_add(facts.records_, kResourceEntry, match.values[kEntryObject],
                     match.values[kEntryGeneration], 0, name);
      },
      [&](std::size_t m, const match::SequenceMatch& match) {
        if (starts_in_digit_run(window, before, m)) return;
        registry_add(facts.records_, kProfileStream, match.values[kProfileObject],
                     match.values[kProfileGeneration], match.values[kProfileComponents],
                     {});
      },
      keys);
}

void convert_window_all(std::span<unsigned char> window,
                        std::optional<unsigned char> before, const AllSpaces& facts,
                        const ChangeVisitor& on_change, const LeaveVisitor* on_leave) {
  // The default step, over the default zone, with the default's lines.
  for_each_fixed_match<kIccArrayPattern>(window, [&](std::size_t m,
                                                     const match::SequenceMatch& match) {
    const auto found = default_rewrite(window, before, m, match, facts);
    if (!found) return;
    rewrite(window, found->open, found->end, found->replacement);
    on_change(Change{found->open, found->end - found->open,
                     std::string_view(found->name.data(),
                                      ::strnlen(found->name.data(), found->name.size())),
                     found->replacement});
  });

  // Then every ICC-based array left whose anchor lies in this window's zone:
  // none without a profile, unless the arrays left are asked for.
  if (facts.profile_count() == 0 && on_leave == nullptr) return;
  const Bytes bytes = window;
  const Zone zone = zone_of(window.size(), before);
  NumberName buffer;
  std::array<char, 48> reason_buffer{};
  SlashCursor anchors(bytes, zone, 'I', 'I');
  while (const auto slash = anchors.next()) {
    const auto array = icc_array_at(bytes, *slash);
    if (!array) continue;
    const auto components = facts.profile_components(array->profile, array->generation);
    const ProfileHeader header = facts.profile_header(array->profile, array->generation);
    if (!components || !is_device_count(*components) || !header_allows_device(header)) {
      if (on_leave == nullptr || default_converts(bytes, before, *slash, facts)) continue;
      std::string_view reason = header_reason(header);
      if (!components) {
        reason = "the profile has no /N the run can read";
      } else if (!is_device_count(*components)) {
        constexpr std::string_view kDeclares = "the profile declares /N ";
        std::copy(kDeclares.begin(), kDeclares.end(), reason_buffer.begin());
        char* const end =
            std::to_chars(reason_buffer.data() + kDeclares.size(),
                          reason_buffer.data() + reason_buffer.size(), *components)
                .ptr;
        reason = {reason_buffer.data(),
                  static_cast<std::size_t>(end - reason_buffer.data())};
      }
      (*on_leave)(
          Leave{array->open, name_for(bytes, before, *array, facts, buffer), reason});
      continue;
    }
    // An array the default step converts is left to it, with its line.
    if (default_converts(bytes, before, *slash, facts)) continue;
    const std::string_view name = name_for(bytes, before, *array, facts, buffer);
    const std::string_view replacement =
        kDeviceSpaceByComponents[static_cast<std::size_t>(*components)];
    rewrite(window, array->open, array->end, replacement);
    on_change(Change{array->open, array->end - array->open, name, replacement});
    anchors.skip_to(array->end);
  }
}

}  // namespace iccdrop::colorspace
