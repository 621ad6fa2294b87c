#include "app/tools/collection_buffer.h"

#include <algorithm>
#include <span>

namespace tgw::app {

namespace {

// Android: the shell's end marker and the bridge's failure text.
constexpr std::array<std::string_view, 2> kAndroidTexts = {"<DONE>", "error:"};
// Apple: run.sh's end marker and the tools' failure texts.
constexpr std::array<std::string_view, 4> kAppleTexts = {"<DO>", "error:", "No device found",
                                                         "Could not connect"};

}  // namespace

bool CollectionBuffer::containsAny(MarkerSet set) {
    const std::span<const std::string_view> texts =
        set == MarkerSet::android ? std::span<const std::string_view>(kAndroidTexts)
                                  : std::span<const std::string_view>(kAppleTexts);
    size_t longest = 0;
    for (std::string_view t : texts) longest = std::max(longest, t.size());
    size_t& searched = m_searched[static_cast<size_t>(set)];
    // Start early enough to find a text that straddles the old end.
    const size_t from = searched >= longest ? searched - (longest - 1) : 0;
    const std::string_view unsearched = std::string_view(m_text).substr(from);
    m_searchedBytes += unsearched.size();
    const bool found = std::any_of(texts.begin(), texts.end(), [&](std::string_view t) {
        return unsearched.find(t) != std::string_view::npos;
    });
    // A found text is found again by the next call should the result not be sent.
    searched = found ? from : m_text.size();
    return found;
}

void CollectionBuffer::append(std::string_view piece, size_t roomLimit) {
    const size_t needed = m_text.size() + piece.size();
    if (needed > m_text.capacity())
        m_text.reserve(std::max(needed, std::min(2 * m_text.capacity(), roomLimit)));
    m_text.append(piece);
}

std::string CollectionBuffer::take() {
    std::string text = std::move(m_text);
    clear();
    return text;
}

void CollectionBuffer::clear() {
    m_text.clear();
    m_searched = {0, 0};
}

}  // namespace tgw::app
