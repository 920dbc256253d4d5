// The progress bar: drawn in place with a carriage return, blanked when
// the work ends.
#include "platform/progress.h"

#include <algorithm>
#include <cstdio>

#include "platform/fileio_internal.h"

namespace sfxpack {

namespace {
constexpr uint64_t kProgressThreshold = 64u << 20;
constexpr int kBarWidth = 30;
constexpr int kDefaultColumns = 80;
// The columns of "sfxpack:  [] 100%", the line without label and bar.
constexpr int kFixedColumns = int(sizeof "sfxpack:  [] 100%") - 1;
}  // namespace

Progress::Progress(const std::string& label, uint64_t total, bool wanted)
    : label_(label), total_(total), enabled_(wanted && total > kProgressThreshold && detail::stderrIsTerminal())
{
    if (!enabled_)
        return;
    width_ = detail::terminalColumns();
    if (width_ <= 0)
        width_ = kDefaultColumns;
    enabled_ = width_ - 1 >= kFixedColumns;  // too narrow for any bar
    if (enabled_)
        draw();
}

Progress::~Progress()
{
    // Blanks exactly what draw() can have written, so the line never wraps.
    if (enabled_)
        std::fprintf(stderr, "\r%*s\r", width_ - 1, "");
}

void Progress::advance(uint64_t bytes)
{
    done_ += bytes;
    if (enabled_)
        draw();
}

void Progress::draw()
{
    int percent = total_ ? int(std::min<uint64_t>(done_, total_) * 100 / total_) : 100;
    if (percent == shown_)
        return;
    shown_ = percent;
    // "sfxpack: LABEL [BAR] NNN%" in at most width - 1 columns (a line
    // that fills the last column wraps on some terminals): the bar shrinks
    // first, then the label.
    const int room = width_ - 1 - kFixedColumns;
    const int bar = std::min(kBarWidth, std::max(std::min(room, 10), room - int(label_.size())));
    const std::string label = label_.substr(0, size_t(std::max(0, room - bar)));
    std::string line = "\rsfxpack: " + label + " [";
    const int filled = percent * bar / 100;
    line.append(size_t(filled), '#');
    line.append(size_t(bar - filled), '.');
    char tail[8];
    std::snprintf(tail, sizeof tail, "] %3d%%", percent);
    line += tail;
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace sfxpack
