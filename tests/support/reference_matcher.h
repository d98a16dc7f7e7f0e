// A second matcher, written as literally as the token and sequence rules read
// and deliberately slow: every later token is searched for through the rest
// of the region and then put to the gap test, every failed attempt is retried
// one byte after its first token. The fast matcher must agree with it exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "match/sequence.h"

namespace iccdrop::testing {

using match::Region;

[[nodiscard]] std::optional<std::size_t> reference_match_token(Region region,
                                                               std::string_view token,
                                                               std::size_t& out_length,
                                                               std::int32_t& out_value);

[[nodiscard]] std::optional<std::size_t> reference_match_sequence(
    Region region, const match::TokenPattern& pattern, match::SequenceMatch& match);

// The window-step loop of both passes, plainly: search from the window's
// start; stop at no match or at a match beyond offset 4096; visit; go on from
// m + min(total_length, 255) to the window's end.
void reference_for_each_match(
    std::span<const unsigned char> window, const match::TokenPattern& pattern,
    const std::function<void(std::size_t, const match::SequenceMatch&)>& visit);

}  // namespace iccdrop::testing
