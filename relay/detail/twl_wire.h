// The limits of the TWL wire format that the builders write and the parsers
// hold frames to (C++ only, not installed). Kept in one place: a builder and
// its parser that disagree on a maximum would reject each other's frames.
#ifndef RELAY_DETAIL_TWL_WIRE_H
#define RELAY_DETAIL_TWL_WIRE_H

#include <cstddef>
#include <cstdint>

namespace twl_wire {

// The four bytes that open every frame.
inline constexpr uint8_t kMagic[4] = {'T', 'R', 'W', 'K'};

// String field maxima, in bytes.
inline constexpr uint16_t kNameMax = 31;  // entity names, message names, the auth result's first text
inline constexpr uint16_t kHandshakeTextMax = 32;
inline constexpr uint16_t kAuthTextBMax = 8;
inline constexpr uint16_t kStatusTextMax = 128;
inline constexpr uint16_t kErrorTextMax = 256;
inline constexpr uint16_t kMessageTextMax = 2000;
inline constexpr uint16_t kItemNameMax = 63;
inline constexpr uint16_t kTrailerTextMax = 60;
inline constexpr uint16_t kVoiceErrorTextMax = 128;

// The item block's count and kind bytes: a record carries one item, of kind 1.
inline constexpr uint8_t kItemCount = 1;
inline constexpr uint8_t kItemKind = 1;

// Clients may rely on a batch payload staying within 64 KiB; its count field
// then tells them how many records made it in.
inline constexpr size_t kBatchPayloadMax = 65536;

}  // namespace twl_wire

#endif
