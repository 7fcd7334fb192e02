// The steps of loading that stand on their own: the preliminary checks of
// InitCache and the server URL repair of InitCache without arguments.
#pragma once

#include <string>

#include "qrnauth/oleauto.h"

namespace qrn {

// True when "MvtCache.txt" of the cache folder opens for writing (created
// when missing, its content kept; closed again at once). False when the
// cache folder is not known or the file cannot be opened, for example
// because the folder is read-only or "MvtCache.txt" is a directory.
bool MvtCacheFolderWritable();

// The user a load is for: user when it is not null or empty (cut to 511
// bytes at a character boundary), S_OK; else the current user as
// "DOMAIN\user" and the result of CQRNAuthenticate::GetCurrentContext
// (E_FAIL: name is then "\"; callers use an empty name on failure).
// E_UNEXPECTED when an exception was caught.
HRESULT ChooseUser(const char* user, std::string* name);

// Names stay as they are on Novell clients too: always S_OK.
HRESULT ConvertToNovellUserFormat(std::string* name);

// When the configured server URL does not answer and ends in ".aspx", tries
// its ".asp" form and, when that answers, writes it as the machine's "URL"
// and uses it from then on in this process. Nothing is tried for the host
// "localhost" or this computer's name. Never fails the caller; writes no
// trail entry of its own (the requests may add some).
void UpdateServerUrl();

}  // namespace qrn
