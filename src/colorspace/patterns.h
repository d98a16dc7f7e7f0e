// The token patterns of the two passes and the device colour space that
// replaces an ICC-based one, by the profile's component count.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "match/char_class.h"
#include "match/sequence.h"

namespace iccdrop::colorspace {

// «/Cs1 7 0 R»: a resource name and the object it refers to.
inline constexpr std::array<std::string_view, 4> kResourceEntryTokens{"/Cs*", "#", "#",
                                                                      "R"};
inline constexpr match::TokenPattern kResourceEntryPattern{"/Cs", kResourceEntryTokens};

// «5 0 obj << /N 3»: a profile stream whose dictionary starts with /N. "..."
// skips nothing, so «5 0 obj << /Length 900 /N 3» does not match.
inline constexpr std::array<std::string_view, 7> kProfileStreamTokens{
    "#", "#", "obj", "<<", "...", "/N", "#"};
inline constexpr match::TokenPattern kProfileStreamPattern{"/N", kProfileStreamTokens};

// «7 0 obj [/ICCBased 5 0 R]»: an ICC-based colour-space object.
inline constexpr std::array<std::string_view, 9> kIccArrayTokens{
    "#", "#", "obj", "[", "/ICCBased", "#", "#", "R", "]"};
inline constexpr match::TokenPattern kIccArrayPattern{"/ICCBased", kIccArrayTokens};

// Token indices of the values the passes use.
inline constexpr std::size_t kEntryName = 0, kEntryObject = 1, kEntryGeneration = 2;
inline constexpr std::size_t kProfileObject = 0, kProfileGeneration = 1,
                             kProfileComponents = 6;
inline constexpr std::size_t kArrayObject = 0, kArrayGeneration = 1,
                             kArrayProfileObject = 5, kArrayProfileGeneration = 6;

// Indexed by /N. Counts 0 and 2 have no device space and get marker names.
inline constexpr std::array<std::string_view, 5> kDeviceSpaceByComponents{
    "*0*", "/DeviceGray", "*2*", "/DeviceRGB", "/DeviceCMYK"};

// The scan of a window finds matches from their anchors. It relies on the
// anchor's first byte never occurring in a match before the anchor itself:
// no earlier token holds it, and it is neither a digit nor a gap byte. Then
// a match can begin no earlier than just after the last such byte before the
// first anchor at or after the search position.
constexpr bool anchor_byte_leads(const match::TokenPattern& pattern) {
  if (pattern.anchor.empty()) return false;
  const char lead = pattern.anchor.front();
  const auto byte = static_cast<unsigned char>(lead);
  if (match::is_digit(byte) || match::is_gap_byte(byte)) return false;
  for (std::string_view token : pattern.tokens) {
    const bool is_anchor =
        token == pattern.anchor ||
        (token.size() == pattern.anchor.size() + 1 && token.back() == '*' &&
         token.substr(0, pattern.anchor.size()) == pattern.anchor);
    if (is_anchor) return true;
    if (token != "#" && token.find(lead) != std::string_view::npos) return false;
  }
  return false;  // the anchor must be one of the tokens
}

// The scan also walks back from each anchor over the tokens before it to the
// one place where a match through that anchor can begin. That needs those
// tokens to be numbers, "..." or literals of bytes that are neither gap bytes
// nor digits (so that the gap and digit runs between them are unambiguous),
// and token 0 to be a number or a literal.
constexpr std::size_t anchor_token_index(const match::TokenPattern& pattern) {
  for (std::size_t i = 0; i < pattern.tokens.size(); ++i) {
    const std::string_view token = pattern.tokens[i];
    if (token == pattern.anchor ||
        (token.size() == pattern.anchor.size() + 1 && token.back() == '*' &&
         token.substr(0, pattern.anchor.size()) == pattern.anchor)) {
      return i;
    }
  }
  return pattern.tokens.size();
}

constexpr bool anchor_walks_back(const match::TokenPattern& pattern) {
  const std::size_t anchor = anchor_token_index(pattern);
  if (anchor == pattern.tokens.size() || pattern.anchor.size() < 2) return false;
  for (std::size_t i = 0; i < anchor; ++i) {
    const std::string_view token = pattern.tokens[i];
    const auto kind = match::token_kind(token);
    if (kind == match::TokenKind::kNumber) continue;
    if (kind == match::TokenKind::kEmpty && i > 0) continue;
    if (kind != match::TokenKind::kLiteral || token.empty()) return false;
    for (char c : token) {
      const auto byte = static_cast<unsigned char>(c);
      if (match::is_gap_byte(byte) || match::is_digit(byte)) return false;
    }
  }
  return true;
}

static_assert(anchor_byte_leads(kResourceEntryPattern));
static_assert(anchor_byte_leads(kProfileStreamPattern));
static_assert(anchor_byte_leads(kIccArrayPattern));
static_assert(anchor_walks_back(kResourceEntryPattern));
static_assert(anchor_walks_back(kProfileStreamPattern));
static_assert(anchor_walks_back(kIccArrayPattern));

}  // namespace iccdrop::colorspace
