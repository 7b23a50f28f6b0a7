// What an app's identity keys may hold: the rules the runtime starts by and
// the packer and the `tessel` command check before anything is written, so
// that an author hears why at packing time instead of from an app that will
// not start.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessel::shared {

// Longest ID in bytes; it names the app data folder and the instance lock.
inline constexpr std::size_t kMaxAppIdBytes = 200;

// nullopt when `id` can name the app's data folder and instance lock on every
// system; otherwise one line that names the ID and says why not, such as
// "ID 'Acme: Notes' cannot name a folder: ':' is not allowed".
std::optional<std::string> AppIdProblem(std::string_view id);

// nullopt when the runtime can serve pages from the folder `dir_name` names:
// it looks entries up as DirName + "/" + path, and archive entry names are
// relative, '/'-separated and free of empty, "." and ".." parts. Otherwise
// one line that names the value, says why and, where one exists, what to
// write instead ("DirName 'webapp/' ...: write 'webapp'"). Whether the
// folder exists is the caller's to check.
std::optional<std::string> AppDirNameProblem(std::string_view dir_name);

// An ID that AppIdProblem accepts, made from `name` (a folder name, say):
// refused characters become '-', trailing blanks and dots go, the length is
// cut to kMaxAppIdBytes on a character boundary; "app" when nothing is left.
std::string MakeUsableAppId(std::string_view name);

}  // namespace tessel::shared
