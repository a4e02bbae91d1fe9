// Which document each token of a batch comes from, kept as runs: one entry
// per document that has tokens in the batch (the document's index in the
// input and its first token in the batch), never one per token. The storage
// grows by doubling and is kept from one batch to the next.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace tarvelin {

struct DocRun {
    std::uint64_t doc;   // index of the document in the input
    std::uint64_t first; // its first token in the batch
};

class DocRuns {
  public:
    DocRuns() = default;
    DocRuns(const DocRuns&) = delete;
    DocRuns& operator=(const DocRuns&) = delete;
    ~DocRuns() { std::free(runs_); }

    bool active = false; // the batches come from documents (a "docs" array is made)

    void clear() noexcept { count_ = 0; }

    // Whether the batch's last run is document `doc`'s.
    bool covers(std::uint64_t doc) const noexcept {
        return count_ != 0 && runs_[count_ - 1].doc == doc;
    }

    // Tokens from `first` on come from document `doc`. A run that has no
    // tokens yet is taken over. False when the storage cannot grow.
    bool mark(std::uint64_t doc, std::uint64_t first) noexcept {
        if (count_ != 0 && runs_[count_ - 1].first == first) {
            runs_[count_ - 1].doc = doc;
            return true;
        }
        if (count_ == capacity_ && !grow()) return false;
        runs_[count_++] = {doc, first};
        return true;
    }

    // Writes the document index of each of the batch's `tokens` tokens.
    void expand(std::uint64_t* out, std::uint64_t tokens) const noexcept {
        for (std::uint64_t k = 0; k < count_; ++k) {
            const std::uint64_t end = std::min(k + 1 < count_ ? runs_[k + 1].first : tokens, tokens);
            const std::uint64_t first = std::min(runs_[k].first, end);
            std::fill(out + first, out + end, runs_[k].doc); // one vector loop per run
        }
    }

    std::uint64_t size() const noexcept { return count_; }

  private:
    bool grow() noexcept {
        const std::uint64_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
        void* grown = std::realloc(runs_, capacity * sizeof(DocRun));
        if (grown == nullptr) return false;
        runs_ = static_cast<DocRun*>(grown);
        capacity_ = capacity;
        return true;
    }

    DocRun* runs_ = nullptr;
    std::uint64_t count_ = 0, capacity_ = 0;
};

} // namespace tarvelin
