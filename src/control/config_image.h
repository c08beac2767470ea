// The configuration image file: text records of four hexadecimal digits and CR LF, grouped in
// sections of a count, an address word, an unused record and the data records.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace mv620::control {

inline constexpr char kImageFileName[] = "acq620m_2189.idm";
inline constexpr std::size_t kRecordBytes = 6;
inline constexpr std::uint16_t kEndMarker = 0xFFFF;
// Larger files are refused: the instrument's whole memory is 0x4000 words.
inline constexpr std::size_t kMaxImageBytes = std::size_t{16} * 1024U * 1024U;

struct ImageSection {
    std::uint16_t address = 0; // the section's first word address, 0 to 0x3FFF
    bool sixteenBit = true;    // else 24-bit words
    std::vector<std::uint32_t> words;
};

enum class ImageFault {
    None,
    Empty,        // the file holds nothing
    BadRecord,    // a record that is not four hexadecimal digits and CR LF (or is cut short)
    EndsInHeader, // the file ends after a section's count, before its address or third record
    EndsInData,   // the file ends before the last data record of a section
    TooLarge,     // larger than kMaxImageBytes
};

// Parses a whole image. The image ends at a count record of FFFF (nothing after that record is
// looked at) or at the end of the file between two sections. A 24-bit section takes two records
// per word and goes on while its count, lowered by 2 per word, is above 0 (an odd count takes
// one record more than it says). Returns the sections, or nothing with the fault in `fault`.
std::optional<std::vector<ImageSection>> parseConfigImage(std::span<const std::uint8_t> file,
                                                          ImageFault* fault = nullptr);

} // namespace mv620::control
