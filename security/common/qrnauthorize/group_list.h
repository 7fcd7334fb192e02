// The group list text of the group resolution and its normalisation into
// role group member names, the remote-server test, and the process-wide
// "UseClientNetApi" choice.
//
// A group list text is a run of entries separated by ";", for example
//   "Everyone;WinNT://SALES/Operators;WinNT://SALES/PC17/Administrators;"
// and each entry normalises to the "QUALIFIER\Name" form that role group
// members are written in:
//   WinNT://SALES/Operators          -> SALES\Operators
//   WinNT://SALES/PC17/Administrators -> PC17\Administrators
//   SALES/Operators                  -> SALES\Operators
//   " Everyone "                     -> Everyone
//   SALES\Operators, ""              -> (nothing)
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qrnauth/oleauto.h"

namespace qrn {

// Appends the entries of *text to *entries and empties *text. A trailing ";"
// gives no empty entry; ";;" gives one.
void SplitGroupList(std::string* text, std::vector<std::string>* entries);

// Appends the normalised name of each entry to *groups, in order; no name is
// removed as a duplicate. For each entry s (trimmed of white space): when it
// holds "/", the name is the text after the last "/" and the qualifier the
// text between the "/" before it and that one (the text before the last "/"
// when that is empty); a non-empty name gives qualifier + "\" + name. An
// entry that is then "Everyone" (any case) is appended as it is. S_OK.
HRESULT BuildGroupArray3(const std::vector<std::string>& entries, std::vector<std::string>* groups);

// The host of a server URL as the web client reads it (ExtractHostName):
// scheme, user information and port removed, so "http://srv:8080/x" and
// "https://user@srv/x" both give "srv".
std::string ServerHostOfUrl(std::string_view url);
// True when that host differs, ignoring case, from both computer and
// "localhost". The group resolution and the ".aspx" fallback of
// UpdateServerUrl both ask this, so they agree on what is this computer.
bool IsRemoteServer(std::string_view url, std::string_view computer);
// This computer's name as the group resolution uses it; "Unknown" when it
// cannot be had.
std::string ResolverComputerName();

// "UseClientNetApi" of the machine configuration key: read the first time it
// is asked for (0 when the key or a REG_DWORD value is missing), then kept in
// the configuration (ClientNetApi) for the life of the process.
int32_t UseClientNetApi();

}  // namespace qrn
