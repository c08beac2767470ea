#include "control/config_image.h"

namespace mv620::control {
namespace {

std::optional<unsigned> hexDigit(std::uint8_t c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10U;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10U;
    }
    return std::nullopt;
}

class RecordCursor {
public:
    explicit RecordCursor(std::span<const std::uint8_t> file) noexcept : file_(file) {}

    [[nodiscard]] bool atEnd() const noexcept { return position_ == file_.size(); }

    // The next record's value, or nothing when the file ends before it (fault left None) or the
    // record is malformed (fault set to BadRecord).
    std::optional<std::uint16_t> next(ImageFault& fault) noexcept {
        if (atEnd()) {
            return std::nullopt;
        }
        if (file_.size() - position_ < kRecordBytes) {
            fault = ImageFault::BadRecord; // a record cut short by the end of the file
            return std::nullopt;
        }
        const std::span<const std::uint8_t> record = file_.subspan(position_, kRecordBytes);
        position_ += kRecordBytes;
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const std::optional<unsigned> digit = hexDigit(record[i]);
            if (!digit) {
                fault = ImageFault::BadRecord;
                return std::nullopt;
            }
            value = value * 16U + *digit;
        }
        if (record[4] != '\r' || record[5] != '\n') {
            fault = ImageFault::BadRecord;
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(value);
    }

private:
    std::span<const std::uint8_t> file_;
    std::size_t position_ = 0;
};

// A record that must be there: the end of the file there is `whenMissing`.
std::optional<std::uint16_t> required(RecordCursor& cursor, ImageFault& fault,
                                      ImageFault whenMissing) noexcept {
    std::optional<std::uint16_t> value = cursor.next(fault);
    if (!value && fault == ImageFault::None) {
        fault = whenMissing;
    }
    return value;
}

} // namespace

std::optional<std::vector<ImageSection>> parseConfigImage(std::span<const std::uint8_t> file,
                                                          ImageFault* faultOut) {
    ImageFault fault = ImageFault::None;
    std::vector<ImageSection> sections;
    if (file.empty()) {
        fault = ImageFault::Empty;
    } else if (file.size() > kMaxImageBytes) {
        fault = ImageFault::TooLarge;
    }
    RecordCursor cursor(file);
    while (fault == ImageFault::None && !cursor.atEnd()) {
        const std::optional<std::uint16_t> count = cursor.next(fault);
        if (!count || *count == kEndMarker) {
            break;
        }
        const auto addressWord = required(cursor, fault, ImageFault::EndsInHeader);
        if (!addressWord || !required(cursor, fault, ImageFault::EndsInHeader)) {
            break;
        }
        ImageSection section;
        section.address = static_cast<std::uint16_t>(*addressWord & 0x3FFFU);
        section.sixteenBit = (*addressWord & 0x4000U) != 0;
        for (int remaining = *count; remaining > 0 && fault == ImageFault::None;) {
            const auto high = required(cursor, fault, ImageFault::EndsInData);
            if (!high) {
                break;
            }
            if (section.sixteenBit) {
                section.words.push_back(*high);
                remaining -= 1;
                continue;
            }
            const auto low = required(cursor, fault, ImageFault::EndsInData);
            if (!low) {
                break;
            }
            section.words.push_back((std::uint32_t{*high} << 8U) | (*low & 0xFFU));
            remaining -= 2;
        }
        sections.push_back(std::move(section));
    }
    if (faultOut != nullptr) {
        *faultOut = fault;
    }
    if (fault != ImageFault::None) {
        return std::nullopt;
    }
    return sections;
}

} // namespace mv620::control
