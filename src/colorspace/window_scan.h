// Visiting every match of a pattern that starts in a window's handled zone,
// in order, the way both passes search their windows.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

#include "match/sequence.h"

namespace iccdrop::colorspace {

// Longest step from one match to the next search position.
inline constexpr std::size_t kMaxAdvance = 255;

using MatchVisitor =
    std::function<void(std::size_t start, const match::SequenceMatch& match)>;

// Calls `visit` for each match m at window offsets 0..4096, the search going
// on from m + min(total_length, 255) to the window's end each time. The
// visitor may rewrite the window; the search sees the rewritten bytes.
// The pattern must satisfy anchor_byte_leads() and anchor_walks_back().
void for_each_match(std::span<const unsigned char> window,
                    const match::TokenPattern& pattern, const MatchVisitor& visit);

// The visits of for_each_match(window, kResourceEntryPattern, visit_entry)
// and of for_each_match(window, kProfileStreamPattern, visit_profile), each
// pattern's in their order, the two interleaved by position: one scan of the
// window finds both, and tells whether an «/ICCBased» starts in the window's
// first 4096 bytes (pass 1 marks such windows for pass 2). The visitors must
// not rewrite the window.
bool for_each_entry_and_profile(std::span<const unsigned char> window,
                                const MatchVisitor& visit_entry,
                                const MatchVisitor& visit_profile);

}  // namespace iccdrop::colorspace
