// CollectionBuffer: text collected from one device query's tool until it holds
// a completion text (the Android or the Apple set). It remembers how far it
// has already searched, so collecting stays linear in the output's size while
// still finding a text that straddles two pieces.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tgw::app {

enum class MarkerSet { android, apple };

class CollectionBuffer {
  public:
    // Appends `piece`. Room grows by doubling, but never past `roomLimit`
    // unless the text itself needs it: a tool cut at its output cap leaves no
    // unused half as large again (the freed memory of the running program is
    // overwritten, so all of it is resident).
    void append(std::string_view piece, size_t roomLimit = SIZE_MAX);
    // Whether the whole text holds one of the set's completion texts.
    bool containsAny(MarkerSet set);
    const std::string& text() const { return m_text; }
    void clear();
    // The collected text, leaving the buffer empty.
    std::string take();
    // Bytes searched so far, counted once per search: what collecting costs.
    size_t searchedBytes() const { return m_searchedBytes; }

  private:
    std::string m_text;
    std::array<size_t, 2> m_searched{0, 0};
    size_t m_searchedBytes = 0;
};

}  // namespace tgw::app
