#include "tokenizers/docs_source.hpp"

#include <cstdlib>

#include "text/transcode.hpp"

namespace tarvelin {

DocsSource::~DocsSource() {
    recycle();
    std::free(records_);
    std::free(window_);
}

bool DocsSource::open_queue(std::size_t capacity, void (*release)(void* owner) noexcept) noexcept {
    records_ = static_cast<DocRecord*>(std::calloc(capacity, sizeof(DocRecord)));
    window_ = static_cast<std::uint8_t*>(std::malloc(WINDOW_UNITS * 4 + 1));
    if (records_ == nullptr || window_ == nullptr) return false;
    capacity_ = capacity;
    release_ = release;
    return true;
}

void DocsSource::open_column(std::unique_ptr<StringColumn> column) noexcept {
    column_ = std::move(column);
    cursor_.emplace(*column_);
    input_ended_ = true;
}

void DocsSource::recycle() noexcept {
    for (std::size_t i = 0; i < filled_; ++i) {
        DocRecord& r = records_[i];
        if (r.owned) std::free(const_cast<void*>(r.data));
        if (r.owner != nullptr && release_ != nullptr) release_(r.owner);
        r = DocRecord{};
    }
    filled_ = next_ = 0;
}

void DocsSource::close_document() noexcept {
    bytes_before_ = position();
    open_ = false;
    data_ = nullptr;
    units_ = nullptr;
    size_ = read_pos_ = 0;
    unit_size_ = 0;
    unit_pos_ = window_size_ = window_pos_ = windows_before_ = 0;
}

void DocsSource::open_bytes(const std::uint8_t* data, std::uint64_t size) noexcept {
    open_ = true;
    ++opened_;
    data_ = data;
    size_ = size;
}

DocStep DocsSource::next_document() noexcept {
    if (cursor_) {
        std::span<const std::uint8_t> doc;
        if (!cursor_->next(doc)) return DocStep::ended;
        index_ = cursor_->position() - 1;
        open_bytes(doc.data(), doc.size());
        return DocStep::opened;
    }
    if (next_ == filled_) return input_ended_ ? DocStep::ended : DocStep::needs_documents;
    const DocRecord& r = records_[next_++];
    index_ = r.index;
    if (r.unit_size == 0) {
        open_bytes(static_cast<const std::uint8_t*>(r.data), r.size);
    } else {
        open_bytes(nullptr, r.size);
        units_ = r.data;
        unit_size_ = r.unit_size;
    }
    return DocStep::opened;
}

void DocsSource::refill() noexcept {
    const std::uint64_t left = size_ - unit_pos_;
    const std::size_t n = left < WINDOW_UNITS ? static_cast<std::size_t>(left) : WINDOW_UNITS;
    const std::size_t bytes = units_window_to_utf8(units_, unit_size_, unit_pos_, n, window_);
    unit_pos_ += n;
    windows_before_ += window_size_;
    window_size_ = bytes;
    window_pos_ = 0;
}

} // namespace tarvelin
