#include "server/engine/tcl/query/report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>

#include "server/engine/conv/conversion.h"

namespace tarn::server::tcl::query {
namespace {

// Characters of UTF-8 text, for widths: continuation bytes do not count.
std::size_t columns(std::string_view s) {
  std::size_t n = 0;
  for (char c : s)
    // Characters, not display cells: a wide character counts as one column.
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

// The byte length of the first n characters of s.
std::size_t prefixBytes(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  for (; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == 0) break;
      --n;
    }
  }
  return i;
}

std::vector<std::string_view> splitValues(std::string_view v) {
  std::vector<std::string_view> out;
  for (;;) {
    std::size_t mark = v.find(kValueMark);
    out.push_back(v.substr(0, mark));
    if (mark == std::string_view::npos) return out;
    v.remove_prefix(mark + 1);
  }
}

}  // namespace

double sumOfValues(std::string_view cell) {
  double total = 0;
  for (std::string_view v : splitValues(cell)) {
    double d = 0;
    if (parseNumeric(v, d)) total += d;
  }
  return total;
}

namespace {

std::string pad(std::string_view text, std::size_t width, char justify) {
  const std::size_t n = columns(text);
  std::string out;
  // Never cut here: fold() has already split what may be split.
  if (n >= width) return std::string(text);
  if (justify == 'R') out.append(width - n, ' ');
  out += text;
  if (justify != 'R') out.append(width - n, ' ');
  return out;
}

// A left-justified or text column folds a long value onto further lines at its width; a
// right-justified one shows it whole, as numbers must not be cut.
void fold(std::string_view value, const Field& f, std::vector<std::string>& lines) {
  const std::size_t width = static_cast<std::size_t>(f.width);
  if (f.justify == 'R' || columns(value) <= width) {
    lines.emplace_back(value);
    return;
  }
  while (!value.empty()) {
    std::size_t take = prefixBytes(value, width);
    if (f.justify == 'T') {
      // Text breaks after the last blank within the width when there is one.
      std::size_t blank = value.substr(0, take).rfind(' ');
      if (take < value.size() && blank != std::string_view::npos && blank > 0) take = blank + 1;
    }
    std::string_view piece = value.substr(0, take);
    while (f.justify == 'T' && !piece.empty() && piece.back() == ' ') piece.remove_suffix(1);
    lines.emplace_back(piece);
    value.remove_prefix(take);
  }
}

void trimRight(std::string& s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
}

std::string csvField(std::string_view v) {
  // Quoted only when needed, with inner quotes doubled, as spreadsheet readers expect.
  if (v.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(v);
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

void jsonString(std::string& out, std::string_view v) {
  static const char* kHex = "0123456789abcdef";
  out += '"';
  for (char c : v) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
      // Control bytes must be escaped in JSON, and so must a mark left inside a value: its single
      // byte is not UTF-8. It becomes the character a wide connection shows it as (U+00FB..FF).
      // Every other byte from 0x80 passes through as the UTF-8 it is.
    } else if (u < 0x20 || isMark(c)) {
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  out += '"';
}

class Printer {
 public:
  Printer(Interpreter& in, Sentence& s, const std::vector<const Row*>& rows)
      : in_(in), s_(s), rows_(rows), dict_(*s.dictionary) {
    id_ = dict_.id();
    for (std::size_t k = 0; k < s.sort.size(); ++k)
      if (s.sort[k].exploded) {
        exploded_ = s.sort[k].field.get();
        break;
      }
  }

  void report();
  void csv();
  void json();

 private:
  void emit(std::string_view line) {
    // +1 for the attribute mark that joins printed lines in the reply.
    bytes_ += line.size() + 1;
    if (bytes_ > in_.state().limits.replyBytes)
      throw QueryError{msg::kOverLimit,
                       cat({"The listing is over the reply limit of ",
                            std::to_string(in_.state().limits.replyBytes), " bytes."})};
    in_.print(line);
  }
  // The values of column c of a row, converted for output; BY-EXP narrows the exploded
  // field and its association to the row's value.
  std::vector<std::string> values(const Row& r, std::size_t c) {
    const Field& f = *s_.columns[c].field;
    std::vector<std::string_view> raw = splitValues(r.cell(c));
    if (r.exploded > 0 && exploded_ &&
        (&f == exploded_ || (!f.association.empty() && f.association == exploded_->association))) {
      const auto at = static_cast<std::size_t>(r.exploded - 1);
      raw = {at < raw.size() ? raw[at] : std::string_view()};
    }
    std::vector<std::string> out;
    for (std::string_view v : raw) out.push_back(dict_.shown(f, v));
    return out;
  }
  std::string headingLine(std::string_view text);
  // The common row, one value a column and each within its width, printed without the
  // general layout's tables; false (nothing printed) for any other row.
  bool simpleLine(const Row& r);
  // fold: long values go onto further lines; labels and totals overflow their column instead.
  void line(const std::vector<std::vector<std::string>>& cells, const std::string& idText,
            bool fold = true);
  // A line of totals, the label in the id column (grand total) or under each break column.
  void totalsLine(const std::string& label, const std::vector<double>& totals,
                  const std::vector<bool>& labelled, bool labelId);

  Interpreter& in_;
  Sentence& s_;
  const std::vector<const Row*>& rows_;
  Dictionary& dict_;
  std::shared_ptr<const Field> id_;
  const Field* exploded_ = nullptr;
  std::size_t bytes_ = 0;
  std::string buffer_;  // simpleLine's line, reused so that a long report allocates it once
};

// 'L' starts a new line, 'D' gives the date, 'T' the time, 'P' the page (always 1: the report
// has no pages), '' a quote.
std::string Printer::headingLine(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\'') {
      out += text[i];
      continue;
    }
    std::size_t close = text.find('\'', i + 1);
    if (close == std::string_view::npos) {
      out += text.substr(i);
      break;
    }
    std::string_view code = text.substr(i + 1, close - i - 1);
    const NumberFormat& nf = in_.state().format;
    for (char c : code) {
      switch (c) {
        case 'L':
        case 'l':
          out += kAttributeMark;
          break;
        case 'D':
        case 'd':
          out += oconv(std::to_string(internalDateToday()), "D", nf).value_or("");
          break;
        case 'T':
        case 't':
          out += oconv(std::to_string(internalTimeNow()), "MTS", nf).value_or("") + " " +
                 oconv(std::to_string(internalDateToday()), "D", nf).value_or("");
          break;
        case 'P':
        case 'p':
          out += '1';
          break;
        default:
          break;
      }
    }
    // '' in a heading is a literal quote.
    if (code.empty()) out += '\'';
    i = close;
  }
  return out;
}

void Printer::line(const std::vector<std::vector<std::string>>& cells, const std::string& idText,
                   bool folding) {
  // Each cell may span lines; the row is as tall as its tallest cell.
  std::vector<std::vector<std::string>> folded(cells.size());
  std::vector<std::string> idLines;
  // A totals line is not folded: its label and totals overflow their columns rather than wrap.
  auto cut = [&](std::string_view v, const Field& f, std::vector<std::string>& out) {
    if (folding)
      fold(v, f, out);
    else
      out.emplace_back(v);
  };
  if (!s_.idSupp) cut(idText, *id_, idLines);
  std::size_t height = std::max<std::size_t>(1, idLines.size());
  for (std::size_t c = 0; c < cells.size(); ++c) {
    for (const std::string& v : cells[c]) cut(v, *s_.columns[c].field, folded[c]);
    height = std::max(height, folded[c].size());
  }
  for (std::size_t k = 0; k < height; ++k) {
    std::string out;
    bool first = true;
    if (!s_.idSupp) {
      out += pad(k < idLines.size() ? idLines[k] : "", static_cast<std::size_t>(id_->width),
                 id_->justify);
      first = false;
    }
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const Field& f = *s_.columns[c].field;
      if (!first) out += ' ';
      first = false;
      out += pad(k < folded[c].size() ? folded[c][k] : "", static_cast<std::size_t>(f.width),
                 f.justify);
    }
    // Trailing blanks are dropped from every line: they only pad the last column.
    trimRight(out);
    emit(std::move(out));
  }
}

bool Printer::simpleLine(const Row& r) {
  // An exploded row shows one value of its association: only values() narrows that.
  if (r.exploded > 0) return false;
  std::string& out = buffer_;
  out.clear();
  auto add = [&](std::string_view v, const Field& f) {
    const std::size_t width = static_cast<std::size_t>(f.width);
    const std::size_t n = columns(v);
    if (n > width && f.justify != 'R') return false;
    if (f.justify == 'R' && n < width) out.append(width - n, ' ');
    out += v;
    if (f.justify != 'R' && n < width) out.append(width - n, ' ');
    return true;
  };
  if (!s_.idSupp && !add(r.id, *id_)) return false;
  for (std::size_t c = 0; c < s_.columns.size(); ++c) {
    const Field& f = *s_.columns[c].field;
    // Several values need the general layout, which puts each on a line of its own.
    if (r.cell(c).find(kValueMark) != std::string::npos) return false;
    if (!s_.idSupp || c > 0) out += ' ';
    if (f.conversion.empty()) {
      if (!add(r.cell(c), f)) return false;
    } else if (!add(dict_.shown(f, r.cell(c)), f)) {
      return false;
    }
  }
  trimRight(out);
  emit(out);
  return true;
}

void Printer::totalsLine(const std::string& label, const std::vector<double>& totals,
                         const std::vector<bool>& labelled, bool labelId) {
  std::vector<std::vector<std::string>> cells(s_.columns.size());
  for (std::size_t c = 0; c < s_.columns.size(); ++c) {
    if (s_.columns[c].total)
      cells[c].push_back(dict_.shown(*s_.columns[c].field, formatNumber(totals[c])));
    else if (labelled[c])
      cells[c].push_back(label);
  }
  line(cells, labelId ? label : std::string(), false);
}

void Printer::report() {
  const std::size_t n = s_.columns.size();
  if (!s_.heading.empty() && !s_.hdrSupp) {
    emit(headingLine(s_.heading));
    emit("");
  }
  std::size_t lineWidth = s_.idSupp ? 0 : static_cast<std::size_t>(id_->width) + 1;
  for (const auto& c : s_.columns) lineWidth += static_cast<std::size_t>(c.field->width) + 1;
  // An estimate (rows fold and values overflow), capped so that a huge sort cannot ask for more
  // than a reply may hold.
  in_.reserveOutput(std::min(rows_.size() * lineWidth, in_.state().limits.replyBytes));
  if (!s_.colHdrSupp) {
    std::vector<std::vector<std::string>> heads(n);
    for (std::size_t c = 0; c < n; ++c) heads[c].push_back(s_.columns[c].field->heading);
    line(heads, id_->heading);
  }
  bool anyTotal = false;
  for (const auto& c : s_.columns) anyTotal = anyTotal || c.total;
  std::vector<double> grand(n, 0), sub(n, 0);
  std::vector<bool> breakColumns(n, false);
  std::vector<std::string> lastBreak(n);
  bool anyBreak = false;
  for (std::size_t c = 0; c < n; ++c) {
    breakColumns[c] = s_.columns[c].breakOn;
    anyBreak = anyBreak || breakColumns[c];
  }
  auto breakValue = [&](const Row& r) {
    std::string key;
    for (std::size_t c = 0; c < n; ++c)
      // A separator no shown value holds, so "AB"+"C" and "A"+"BC" are different groups.
      if (breakColumns[c]) key += values(r, c).front() + '\x01';
    return key;
  };
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const Row& r = *rows_[i];
    if (!anyBreak && simpleLine(r)) {
      for (std::size_t c = 0; c < n; ++c) {
        if (!s_.columns[c].total) continue;
        const double v = sumOfValues(r.cell(c));
        grand[c] += v;
      }
      if (s_.dblSpc) emit("");
      continue;
    }
    std::vector<std::vector<std::string>> cells(n);
    // The rows arrive in the sentence's order, so a group is a run of equal break values.
    const bool groupStart = i == 0 || breakValue(*rows_[i - 1]) != breakValue(r);
    for (std::size_t c = 0; c < n; ++c) {
      // A break value shows on the first line of its group only.
      if (breakColumns[c] && !groupStart) continue;
      cells[c] = values(r, c);
      if (s_.columns[c].total) {
        const double v = sumOfValues(r.cell(c));
        grand[c] += v;
        sub[c] += v;
      }
    }
    line(cells, r.id);
    if (s_.dblSpc) emit("");
    if (anyBreak && (i + 1 == rows_.size() || breakValue(*rows_[i + 1]) != breakValue(r))) {
      // A subtotal line per group, its label under each break column.
      totalsLine("***", sub, breakColumns, false);
      emit("");
      std::fill(sub.begin(), sub.end(), 0);
    }
  }
  if (anyTotal) totalsLine("===", grand, std::vector<bool>(n, false), true);
  if (!s_.footing.empty() && !s_.hdrSupp) {
    emit("");
    emit(headingLine(s_.footing));
  }
  in_.message(msg::kListed, cat({std::to_string(rows_.size()), " items listed."}));
}

// One row per value position: single values repeat on each, so that every row stands alone.
void Printer::csv() {
  const std::size_t n = s_.columns.size();
  auto join = [&](const std::vector<std::string>& fields) {
    std::string out;
    for (std::size_t k = 0; k < fields.size(); ++k) {
      if (k > 0) out += ',';
      out += csvField(fields[k]);
    }
    emit(std::move(out));
  };
  if (!s_.colHdrSupp) {
    std::vector<std::string> heads;
    if (!s_.idSupp) heads.push_back(id_->heading);
    for (const auto& c : s_.columns) heads.push_back(c.field->heading);
    join(heads);
  }
  for (const Row* row : rows_) {
    const Row& r = *row;
    std::vector<std::vector<std::string>> cells(n);
    std::size_t height = 1;
    for (std::size_t c = 0; c < n; ++c) {
      cells[c] = values(r, c);
      height = std::max(height, cells[c].size());
    }
    for (std::size_t k = 0; k < height; ++k) {
      std::vector<std::string> fields;
      if (!s_.idSupp) fields.push_back(r.id);
      for (std::size_t c = 0; c < n; ++c)
        // A list shorter than the tallest leaves its later rows empty.
        fields.push_back(cells[c].size() == 1 ? cells[c][0]
                                              : (k < cells[c].size() ? cells[c][k] : ""));
      join(fields);
    }
  }
  in_.note(msg::kListed);
}

// One object per item. Associated fields become one array of objects under the association's
// name, value position by value position; other multi-valued fields an array of strings.
void Printer::json() {
  const std::size_t n = s_.columns.size();
  for (const Row* row : rows_) {
    const Row& r = *row;
    std::string out = "{";
    bool first = true;
    auto key = [&](std::string_view k) {
      if (!first) out += ',';
      first = false;
      jsonString(out, k);
      out += ':';
    };
    if (!s_.idSupp) {
      key(id_->name);
      jsonString(out, r.id);
    }
    std::vector<bool> done(n, false);
    for (std::size_t c = 0; c < n; ++c) {
      if (done[c]) continue;
      const Field& f = *s_.columns[c].field;
      if (!f.association.empty()) {
        std::vector<std::size_t> members;
        for (std::size_t d = c; d < n; ++d)
          if (!done[d] && s_.columns[d].field->association == f.association) members.push_back(d);
        std::vector<std::vector<std::string>> cells;
        std::size_t height = 0;
        for (std::size_t d : members) {
          done[d] = true;
          cells.push_back(values(r, d));
          height = std::max(height, cells.back().size());
        }
        key(f.association);
        out += '[';
        for (std::size_t k = 0; k < height; ++k) {
          out += k > 0 ? ",{" : "{";
          for (std::size_t m = 0; m < members.size(); ++m) {
            if (m > 0) out += ',';
            jsonString(out, s_.columns[members[m]].field->name);
            out += ':';
            jsonString(out, k < cells[m].size() ? cells[m][k] : "");
          }
          out += '}';
        }
        out += ']';
        continue;
      }
      done[c] = true;
      std::vector<std::string> v = values(r, c);
      key(f.name);
      // A multi-valued field is an array even when it holds one value, so a reader sees one shape.
      if (v.size() == 1 && !f.multi) {
        jsonString(out, v[0]);
      } else {
        out += '[';
        for (std::size_t k = 0; k < v.size(); ++k) {
          if (k > 0) out += ',';
          jsonString(out, v[k]);
        }
        out += ']';
      }
    }
    out += '}';
    emit(std::move(out));
  }
  in_.note(msg::kListed);
}

}  // namespace

std::string formatNumber(double n) {
  // Whole numbers below 10^15 are exact in a double and fit a long long: printed as integers.
  if (std::isfinite(n) && n == std::floor(n) && std::fabs(n) < 1e15) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(n));
    return std::string(buf, end);
  }
  char buf[64];
  // Fifteen significant digits, what a double holds reliably; more would print binary noise.
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n, std::chars_format::general, 15);
  return std::string(buf, end);
}

void printReport(Interpreter& in, Sentence& s, const std::vector<const Row*>& rows) {
  Printer p(in, s, rows);
  switch (s.format) {
    case Format::kReport:
      p.report();
      break;
    case Format::kCsv:
      p.csv();
      break;
    case Format::kJson:
      p.json();
      break;
  }
}

}  // namespace tarn::server::tcl::query
