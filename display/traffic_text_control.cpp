#include "display/traffic_text_control.h"

#include <algorithm>

namespace {

// Every CR, LF or CR LF of the input becomes one CR LF. Returns whether the input ended with a
// lone CR (its LF may still come at the start of the next insertion).
bool normalizeBreaks(const char* bytes, int length, bool skipLeadingLf, std::string& out) {
    out.clear();
    out.reserve(static_cast<size_t>(length) + 16);
    int i = 0;
    if (skipLeadingLf && length > 0 && bytes[0] == '\n') i = 1;
    bool endsWithLoneCr = false;
    for (; i < length; ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < length && bytes[i + 1] == '\n') {
                ++i;
            } else if (i + 1 == length) {
                endsWithLoneCr = true;
            }
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return endsWithLoneCr;
}

}  // namespace

int TrafficTextControl::clampPosition(int position) const {
    const int length = static_cast<int>(text_.size());
    if (position < 0 || position > length) position = length;
    // A position between the CR and the LF of a break is taken as after the break: a break
    // is never split.
    if (position > 0 && position < length && text_[position - 1] == '\r') ++position;
    return position;
}

int TrafficTextControl::lineOf(int position) const {
    auto it = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), position);
    return static_cast<int>(it - lineStarts_.begin()) - 1;
}

int TrafficTextControl::lengthOfLine(int line) const {
    const size_t next = static_cast<size_t>(line) + 1;
    const int end = next < lineStarts_.size() ? lineStarts_[next] - 2 : static_cast<int>(text_.size());
    return end - lineStarts_[static_cast<size_t>(line)];
}

void TrafficTextControl::replaceRange(int start, int end, const char* bytes, int length) {
    if (start == end && length == 0) return;  // nothing replaced by nothing
    std::string inserted;
    const bool completesPair = start == end && start == loneCrBreakEnd_;
    const bool endsWithLoneCr = normalizeBreaks(bytes, length, completesPair, inserted);
    const int insertedLength = static_cast<int>(inserted.size());
    const int delta = insertedLength - (end - start);

    // Anything put right after that break, or a change that reaches it, ends its wait for an LF.
    loneCrBreakEnd_ = loneCrBreakEnd_ > end ? loneCrBreakEnd_ + delta : -1;

    text_.replace(static_cast<size_t>(start), static_cast<size_t>(end - start), inserted);

    // Lines starting inside the replaced range lose their start; later ones move by delta.
    auto low = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), start);
    auto high = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), end);
    const auto index = low - lineStarts_.begin();
    lineStarts_.erase(low, high);
    for (auto it = lineStarts_.begin() + index; it != lineStarts_.end(); ++it) *it += delta;
    std::vector<int> added;
    for (int i = 0; i + 1 < insertedLength; ++i) {
        if (inserted[static_cast<size_t>(i)] == '\r') added.push_back(start + i + 2);
    }
    lineStarts_.insert(lineStarts_.begin() + index, added.begin(), added.end());

    if (endsWithLoneCr) loneCrBreakEnd_ = start + insertedLength;
    ++revision_;
}

void TrafficTextControl::append(const char* bytes, int length) {
    std::lock_guard<std::mutex> guard(lock_);
    if (bytes == nullptr || length < 0) length = 0;
    const int end = static_cast<int>(text_.size());
    replaceRange(end, end, bytes, length);
}

void TrafficTextControl::replaceLastLine(const char* bytes, int length) {
    std::lock_guard<std::mutex> guard(lock_);
    if (bytes == nullptr || length < 0) length = 0;
    replaceRange(lineStarts_.back(), static_cast<int>(text_.size()), bytes, length);
}

void TrafficTextControl::removeFromTop(int count) {
    std::lock_guard<std::mutex> guard(lock_);
    const int cut = clampPosition(count);
    if (cut <= 0) return;
    replaceRange(0, cut, nullptr, 0);
    origin_ += cut;
}

void TrafficTextControl::setText(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    origin_ += static_cast<int64_t>(text_.size());
    loneCrBreakEnd_ = -1;
    replaceRange(0, static_cast<int>(text_.size()), text.data(), static_cast<int>(text.size()));
    ++revision_;
}

void TrafficTextControl::scrollToEnd() {
    std::lock_guard<std::mutex> guard(lock_);
    ++scrollRequests_;
    ++revision_;
}

int TrafficTextControl::textLength() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(text_.size());
}

int TrafficTextControl::lineCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(lineStarts_.size());
}

int TrafficTextControl::lineLength(int position) const {
    std::lock_guard<std::mutex> guard(lock_);
    return lengthOfLine(lineOf(std::clamp(position, 0, static_cast<int>(text_.size()))));
}

int TrafficTextControl::lineStart(int line) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (line < 0 || static_cast<size_t>(line) >= lineStarts_.size()) return -1;
    return lineStarts_[static_cast<size_t>(line)];
}

std::string TrafficTextControl::text() const {
    std::lock_guard<std::mutex> guard(lock_);
    return text_;
}

uint64_t TrafficTextControl::revision() const {
    std::lock_guard<std::mutex> guard(lock_);
    return revision_;
}

std::string TrafficTextControl::textBetween(int64_t from, int64_t to) const {
    std::lock_guard<std::mutex> guard(lock_);
    const int64_t size = static_cast<int64_t>(text_.size());
    const int64_t start = std::clamp<int64_t>(from - origin_, 0, size);
    const int64_t end = std::clamp<int64_t>(to - origin_, 0, size);
    if (start >= end) return {};
    return text_.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

TrafficTextControl::ViewState TrafficTextControl::viewState(int firstLine, int maxLines) const {
    std::lock_guard<std::mutex> guard(lock_);
    ViewState state;
    state.revision = revision_;
    state.scrollRequests = scrollRequests_;
    state.textLength = static_cast<int>(text_.size());
    state.lineCount = static_cast<int>(lineStarts_.size());
    for (int line = 0; line < state.lineCount; ++line) {
        state.maxLineLength = std::max(state.maxLineLength, lengthOfLine(line));
    }
    state.origin = origin_;
    state.lastLineLength = lengthOfLine(state.lineCount - 1);
    state.firstLine = std::clamp(firstLine, 0, state.lineCount - 1);
    const int last = std::min(state.lineCount, state.firstLine + std::max(maxLines, 0));
    for (int line = state.firstLine; line < last; ++line) {
        const int start = lineStarts_[static_cast<size_t>(line)];
        state.lineStarts.push_back(start);
        state.lines.emplace_back(text_, static_cast<size_t>(start), static_cast<size_t>(lengthOfLine(line)));
    }
    return state;
}
