#include "ignore_rules.h"

#include <cstdint>

namespace tessel::shared {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool InNamedClass(std::string_view name, unsigned char c) {
  const bool upper = c >= 'A' && c <= 'Z';
  const bool lower = c >= 'a' && c <= 'z';
  const bool digit = c >= '0' && c <= '9';
  if (name == "alpha") return upper || lower;
  if (name == "digit") return digit;
  if (name == "alnum") return upper || lower || digit;
  if (name == "upper") return upper;
  if (name == "lower") return lower;
  if (name == "xdigit")
    return digit || (Lower(static_cast<char>(c)) >= 'a' && Lower(static_cast<char>(c)) <= 'f');
  if (name == "space") return c == ' ' || (c >= '\t' && c <= '\r');
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "punct") return c > 32 && c < 127 && !upper && !lower && !digit;
  if (name == "cntrl") return c < 32 || c == 127;
  if (name == "print") return c >= 32 && c < 127;
  if (name == "graph") return c > 32 && c < 127;
  return false;
}

class TMatcher {
 public:
  TMatcher(std::string_view p, std::string_view s, bool fold)
      : p_(p), s_(s), fold_(fold), memo_((p.size() + 1) * (s.size() + 1), -1) {}

  bool Match(size_t pi, size_t si) {
    // Remembered, so no pattern of stars takes more than pattern x path steps.
    int8_t& known = memo_[pi * (s_.size() + 1) + si];
    if (known < 0) known = Compute(pi, si) ? 1 : 0;
    return known == 1;
  }

 private:
  bool Same(char a, char b) const { return fold_ ? Lower(a) == Lower(b) : a == b; }

  bool Compute(size_t pi, size_t si) {
    if (pi == p_.size()) return si == s_.size();
    const char c = p_[pi];
    if (c == '*') {
      size_t end = pi;
      while (end < p_.size() && p_[end] == '*') ++end;
      const bool spans =
          end - pi >= 2 && (pi == 0 || p_[pi - 1] == '/') && (end == p_.size() || p_[end] == '/');
      if (spans) {
        if (end == p_.size()) return true;
        // "**/": no folder, or any run of whole folders.
        for (size_t k = si; k <= s_.size(); ++k) {
          if ((k == si || s_[k - 1] == '/') && Match(end + 1, k)) return true;
        }
        return false;
      }
      for (size_t k = si;; ++k) {
        if (Match(end, k)) return true;
        if (k == s_.size() || s_[k] == '/') return false;
      }
    }
    if (si == s_.size()) return false;
    if (c == '?') return s_[si] != '/' && Match(pi + 1, si + 1);
    if (c == '[') {
      size_t next = 0;
      const std::optional<bool> in = InClass(pi, s_[si], next);
      if (in.has_value()) return *in && s_[si] != '/' && Match(next, si + 1);
      // No closing ']': the '[' is itself.
    }
    if (c == '\\' && pi + 1 < p_.size()) return Same(p_[pi + 1], s_[si]) && Match(pi + 2, si + 1);
    return Same(c, s_[si]) && Match(pi + 1, si + 1);
  }

  // Whether `ch` is in the class opening at `pi`, and where the pattern goes
  // on; nullopt when the class never closes.
  std::optional<bool> InClass(size_t pi, char ch, size_t& next) const {
    size_t k = pi + 1;
    bool negate = false;
    if (k < p_.size() && (p_[k] == '!' || p_[k] == '^')) {
      negate = true;
      ++k;
    }
    bool found = false;
    const auto uc = static_cast<unsigned char>(ch);
    for (bool first = true; k < p_.size(); first = false) {
      char lo = p_[k];
      if (lo == ']' && !first) {
        next = k + 1;
        return found != negate;
      }
      if (lo == '[' && k + 1 < p_.size() && p_[k + 1] == ':') {
        const size_t close = p_.find(":]", k + 2);
        if (close != std::string_view::npos) {
          found = found || InNamedClass(p_.substr(k + 2, close - k - 2), uc) ||
                  (fold_ && InNamedClass(p_.substr(k + 2, close - k - 2),
                                         static_cast<unsigned char>(Lower(ch))));
          k = close + 2;
          continue;
        }
      }
      if (lo == '\\' && k + 1 < p_.size()) lo = p_[++k];
      ++k;
      if (k + 1 < p_.size() && p_[k] == '-' && p_[k + 1] != ']') {
        char hi = p_[k + 1];
        k += 2;
        if (hi == '\\' && k < p_.size()) hi = p_[k++];
        const auto in_range = [&](char x) {
          return static_cast<unsigned char>(x) >= static_cast<unsigned char>(lo) &&
                 static_cast<unsigned char>(x) <= static_cast<unsigned char>(hi);
        };
        found = found || in_range(ch) || (fold_ && in_range(Lower(ch)));
      } else {
        found = found || Same(lo, ch);
      }
    }
    return std::nullopt;
  }

  std::string_view p_;
  std::string_view s_;
  bool fold_;
  std::vector<int8_t> memo_;
};

std::string_view LastName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool WildMatch(std::string_view pattern, std::string_view path, bool fold_case) {
  return TMatcher(pattern, path, fold_case).Match(0, 0);
}

TIgnoreRules::TIgnoreRules() {
  // Version control and the clutter file managers leave behind; never part
  // of an app, whatever the ignore file says. The system files' names vary
  // in case on the systems that write them.
  for (const char* folder : {".git", ".svn", ".hg"}) {
    defaults_.push_back({folder, false, true, false, false, 0, std::string(folder) + "/"});
  }
  for (const char* file : {".DS_Store", "Thumbs.db", "desktop.ini"}) {
    defaults_.push_back({file, false, false, false, true, 0, file});
  }
  defaults_.push_back({std::string(kIgnoreFileName), false, false, true, false, 0,
                       "/" + std::string(kIgnoreFileName)});
}

TIgnoreRules TIgnoreRules::Parse(std::string_view text) {
  TIgnoreRules rules;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  int line_number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string written = line;
    // Trailing blanks go unless a backslash keeps the last one.
    while (!line.empty() && line.back() == ' ' &&
           (line.size() < 2 || line[line.size() - 2] != '\\')) {
      line.pop_back();
    }
    if (line.empty() || line.front() == '#') continue;
    TRule rule;
    rule.line = line_number;
    rule.text = written;
    if (line.front() == '!') {
      rule.negate = true;
      line.erase(0, 1);
    }
    if (line.ends_with('/') && !line.ends_with("\\/")) {
      rule.dir_only = true;
      line.pop_back();
    }
    rule.anchored = line.find('/') != std::string::npos;
    if (line.starts_with('/')) line.erase(0, 1);
    if (line.empty()) continue;
    rule.pattern = std::move(line);
    rules.rules_.push_back(std::move(rule));
  }
  return rules;
}

std::optional<TIgnoreRules::TReason> TIgnoreRules::Excludes(std::string_view path,
                                                            bool is_dir) const {
  const auto matches = [&](const TRule& rule) {
    if (rule.dir_only && !is_dir) return false;
    return WildMatch(rule.pattern, rule.anchored ? path : LastName(path), rule.fold_case);
  };
  for (const TRule& rule : defaults_) {
    if (matches(rule)) return TReason{0, rule.text};
  }
  // The last rule that matches decides.
  for (auto rule = rules_.rbegin(); rule != rules_.rend(); ++rule) {
    if (!matches(*rule)) continue;
    if (rule->negate) return std::nullopt;
    return TReason{rule->line, rule->text};
  }
  return std::nullopt;
}

}  // namespace tessel::shared
