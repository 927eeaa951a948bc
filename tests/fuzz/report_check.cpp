#include "tests/fuzz/report_check.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace artpeel::fuzzing {

namespace {

using Outcome = ExportLine::Outcome;

bool Take(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// A decimal number as printf prints it: no sign unless negative, no leading zero.
bool TakeNumber(std::string_view& text, std::int64_t* number) {
  const bool negative = Take(text, "-");
  std::size_t digits = 0;
  std::int64_t value = 0;
  while (digits < text.size() && digits < 19 && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + (text[digits++] - '0');
  }
  if (digits == 0 || (digits > 1 && text[0] == '0')) return false;
  text.remove_prefix(digits);
  *number = negative ? -value : value;
  return !(negative && value == 0);
}

bool IsHex(std::string_view text, std::size_t count) {
  if (text.size() != count) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// "<16 key digits>-<index, at least two digits>-<width>x<height>.png|.dat"
bool IsImageName(std::string_view name, std::int64_t index, bool png) {
  if (name.size() < 16 || !IsHex(name.substr(0, 16), 16)) return false;
  name.remove_prefix(16);
  char index_part[32];
  std::snprintf(index_part, sizeof index_part, "-%02" PRId64 "-", index);
  std::int64_t width = 0;
  std::int64_t height = 0;
  return Take(name, index_part) && TakeNumber(name, &width) && width >= INT32_MIN &&
         width <= INT32_MAX && Take(name, "x") && TakeNumber(name, &height) &&
         height >= INT32_MIN && height <= INT32_MAX && name == (png ? ".png" : ".dat");
}

struct ItemLine {
  std::int64_t index;
  std::string_view text;
};

class ReportChecker {
 public:
  ReportChecker(std::string_view report, std::vector<ExportLine>* exports)
      : report_(report), exports_(*exports) {
    if (!report.ends_with('\n')) Fail("the report does not end with a line break", report);
    exports_.clear();
  }

  void Check() {
    if (TakeLine("\tisn't a ITC2 file")) return Done();
    TakeLine("\tdifferent header flags detected!");
    if (TakeLine("\tdoesn't contain artwork")) return Done();
    if (!TakeLine("\tdumping items...")) Fail("the header's lines are out of place", report_);
    for (std::int64_t index = 1; !AtEnd(); ++index) {
      if (Peek().index != index) Fail("a record's lines do not carry its index", report_);
      CheckRecord(index);
    }
    return Done();
  }

 private:
  // One record's lines: what the record is, then how it ended.
  void CheckRecord(std::int64_t index) {
    std::string_view code;
    if (!TakeItem(index, "is not an item")) {
      TakeItem(index, "different Unknowns_1s detected!");
      TakeItem(index, "different header Lengths detected.");
      if (TakeItem(index, "unknown file location ", &code) && !IsHex(code, 8)) {
        Fail("a location is not eight hex digits", report_);
      }
      if (code.empty() && !TakeItem(index, "header is longer than the item") &&
          !TakeItem(index, "runs past the end of the file")) {
        const bool png = !TakeItem(index, "unknown file format: ", &code);
        if (!png && !IsHex(code, 8)) Fail("a format code is not eight hex digits", report_);
        CheckExportLine(index, png);
      }
    }
    // A record of length zero ends the walk: nothing may follow its line.
    if (TakeItem(index, "has zero length; skipping the rest of the file") && !AtEnd()) {
      Fail("lines follow the end of the walk", report_);
    }
  }

  void CheckExportLine(std::int64_t index, bool png) {
    ExportLine line{.index = index};
    std::string_view text;
    if (TakeItem(index, png ? "wrote PNG image to file '" : "wrote Unknown image to file '",
                 &text)) {
      const std::size_t name_end = text.find("'(");
      std::int64_t size = -1;
      if (name_end == std::string_view::npos) Fail("a wrote-line has no count", report_);
      line.name = text.substr(0, name_end);
      text.remove_prefix(name_end + 2);
      if (!TakeNumber(text, &size) || size < 0 || text != ")") {
        Fail("a wrote-line's count is malformed", report_);
      }
      line.size = static_cast<std::uint64_t>(size);
    } else if (TakeItem(index, "unable to create file '", &text)) {
      line.outcome = Outcome::kCreateFailed;
    } else if (TakeItem(index, "unable to write file '", &text)) {
      line.outcome = Outcome::kWriteFailed;
    } else {
      Fail("an item line is malformed or out of place", report_);
    }
    if (line.outcome != Outcome::kWrote) {
      if (!text.ends_with('\'')) Fail("a failure line's name is not closed", report_);
      line.name = text.substr(0, text.size() - 1);
    }
    if (!IsImageName(line.name, index, png)) Fail("an image name is malformed", report_);
    exports_.push_back(line);
  }

  bool AtEnd() const { return next_ == report_.size(); }

  // The line at the cursor, without its line break.
  std::string_view Line() const {
    return report_.substr(next_, report_.find('\n', next_) - next_);
  }

  void Advance() { next_ += Line().size() + 1; }

  // The item line at the cursor, read once however often it is looked at.
  const ItemLine& Peek() {
    if (peeked_at_ == next_) return peeked_;
    std::string_view line = Line();
    std::int64_t index = 0;
    const bool one_digit = Take(line, "\t\t[ ");
    if (!one_digit && !Take(line, "\t\t[")) Fail("a line is not an item line", report_);
    if (!TakeNumber(line, &index) || index < 1 || (index < 10) != one_digit ||
        !Take(line, "] ")) {
      Fail("an item line's index is malformed", report_);
    }
    peeked_ = ItemLine{index, line};
    peeked_at_ = next_;
    return peeked_;
  }

  // Takes the line at the cursor when it is an item line of record `index`
  // that starts with `prefix`: `rest` gets what follows the prefix; without
  // `rest` the prefix must be the whole text.
  bool TakeItem(std::int64_t index, std::string_view prefix, std::string_view* rest = nullptr) {
    if (AtEnd()) return false;
    ItemLine line = Peek();
    if (line.index != index || !Take(line.text, prefix) || (rest == nullptr && !line.text.empty())) {
      return false;
    }
    Advance();
    if (rest != nullptr) *rest = line.text;
    return true;
  }

  bool TakeLine(std::string_view line) {
    if (AtEnd() || Line() != line) return false;
    Advance();
    return true;
  }

  void Done() {
    if (!AtEnd()) Fail("lines follow the end of the file's report", report_);
  }

  std::string_view report_;
  std::vector<ExportLine>& exports_;
  std::size_t next_ = 0;  // the start of the line at the cursor
  ItemLine peeked_{};
  std::size_t peeked_at_ = std::string_view::npos;
};

}  // namespace

void CheckReport(std::string_view report, std::vector<ExportLine>* exports) {
  ReportChecker(report, exports).Check();
}

void Fail(std::string_view what, std::string_view report) {
  std::fprintf(stderr, "%.*s\nreport:\n%.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(report.size()), report.data());
  std::abort();
}

}  // namespace artpeel::fuzzing
