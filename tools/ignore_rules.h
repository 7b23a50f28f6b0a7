// The app folder's .tesselignore: gitignore patterns that keep files out of
// the packaged app, and the files that never go in.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::shared {

inline constexpr std::string_view kIgnoreFileName = ".tesselignore";

// Patterns as git reads them: '#' comments and blank lines skipped, trailing
// blanks dropped unless escaped, '!' re-includes, a trailing '/' matches
// folders only, a '/' at the start or in the middle anchors the pattern to
// the app folder (otherwise it matches a name at any depth), '*' and '?'
// stop at '/', "**" spans folders, "[...]" classes with '!' or '^', ranges
// and [:alpha:]-style names, '\' escapes. Matching is exact in letter case,
// as git's is by default.
class TIgnoreRules {
 public:
  // What decided a path: the rule's line and its text, or a default.
  struct TReason {
    int line = 0;  // 0: one of the defaults, which no rule can take back
    std::string pattern;
  };

  // Only the defaults.
  TIgnoreRules();

  // The defaults and the rules of an ignore file's text (UTF-8, with or
  // without a byte-order mark, any line ends).
  static TIgnoreRules Parse(std::string_view text);

  // Whether `path` (relative, '/'-separated) is left out, and by which rule;
  // nullopt when it goes in. Folders are asked with `is_dir`; as with git, a
  // file below a left-out folder cannot be re-included, which callers get by
  // not descending into a folder that is left out.
  std::optional<TReason> Excludes(std::string_view path, bool is_dir) const;

 private:
  struct TRule {
    std::string pattern;  // without '!', the anchoring '/' and the trailing '/'
    bool negate = false;
    bool dir_only = false;
    bool anchored = false;  // matched against the whole path, not the last name
    bool fold_case = false;
    int line = 0;
    std::string text;  // as written, for messages
  };

  std::vector<TRule> defaults_;
  std::vector<TRule> rules_;
};

// Whether `path` matches `pattern` in gitignore's wildmatch sense ('*' and
// '?' do not cross '/'; "**" between slashes spans any number of folders).
bool WildMatch(std::string_view pattern, std::string_view path, bool fold_case = false);

}  // namespace tessel::shared
