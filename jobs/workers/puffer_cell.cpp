// Reading and writing the "Host:Größe" cell of "Puffer".
#include "jobs/workers/puffer_cell.h"

#include "jobs/puffer/puffer_list.h"

namespace {

std::string_view Trim(std::string_view text) {
  constexpr std::string_view blanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

PufferCell PufferSplitExtra(std::string_view cell) {
  PufferCell out;
  const std::size_t colon = cell.find(':');
  out.host = Trim(cell.substr(0, colon));
  if (colon != std::string_view::npos) {
    out.roomText = Trim(cell.substr(colon + 1));
    // Rooms beyond 4 GiB are real on today's carriers: read 64-bit.
    if (!out.roomText.empty()) out.roomValid = PufferParseNumber(out.roomText, out.room);
  }
  return out;
}

std::string PufferFormatExtra(std::string_view host, std::string_view room) {
  std::string out(host);
  out += ':';
  out += room;
  return out;
}
