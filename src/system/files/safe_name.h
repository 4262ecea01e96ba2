#pragma once
// The file name a score string is kept under: in the data folder and in the
// score folder on the FTP server. The score string is the player's own text,
// so the name made from it must stay one plain file name there.
#include <cstddef>
#include <string>
#include <string_view>

namespace korvala {

// The longest name safeFileName returns as it is. Longer names are
// shortened (see below); common file systems allow 255 bytes per name.
inline constexpr std::size_t kMaxPlainFileNameBytes = 255;

// The file name for `name` (any bytes), one path component that cannot leave
// the folder it is used in nor break an FTP command line:
//  - A byte that could do harm is written as "%HH" (two upper-case hex
//    digits): '/', '\\', '%' itself, the control characters (C0, DEL, and
//    C1 such as NEL, each of whose two UTF-8 bytes is written so), and every
//    byte of a sequence that is not valid UTF-8 (overlong forms, surrogates,
//    stray bytes). Everything else stays as it is: letters in any script,
//    digits, blanks (leading and trailing ones too), punctuation, "..".
//  - The whole names that a folder gives a meaning are written out: "" as
//    "%", "." as "%2E", ".." as "%2E%2E".
//  - A name that comes out longer than kMaxPlainFileNameBytes becomes a
//    prefix of its mapped form (cut between characters) followed by "%%" and
//    the SHA-256 of the whole original name in 64 lower-case hex digits;
//    such a name is at most 186 bytes.
// Two different strings never get the same name: the short form decodes
// back by reading each "%HH" as its byte, and no short form holds "%%".
// Only for names of the last kind does this rest on the hash having no
// collision. The hash is libcrypto's; should libcrypto fail to make one (out
// of memory), std::runtime_error is thrown.
// Plain score strings such as "7(Budi)(b@x.example)(Papua Nugini)" and the
// profile file names come back unchanged.
std::string safeFileName(std::string_view name);

}  // namespace korvala
