// The authorizer's reporting steps that several of its operations share
// (who the user is, the Novell name form, the loaded cache, the URL). Each
// operation places them at its own source line with AtLine; the steps only
// one operation reports sit at the top of that operation's file.
#pragma once

#include "frame/report.h"
#include "security/common/qrnauthorize/process_state.h"

namespace qrn::authorize_steps {

constexpr Site kSite = {&authorizationTrail, kAuthorizeSource, ""};
// GroupNames and its group sources.
constexpr Site kGroupNamesSite = kSite.In("InitCache.GetUserRolesFromCache.GroupNames");

constexpr Step kChooseUser = {0, "ChooseUser", "Authenticating the User",
                              "User could not be Authenticated"};
constexpr Step kNovellCheck = {0, "MvtIsNovellClient", "Checking if the client is Novell",
                               "Novell Client Check failure"};
constexpr Step kNovellName = {0, "ConvertToNovellUserFormat",
                              "Converting the user name into Novell Format",
                              "Convertion to Novell User name failed"};
constexpr Step kCacheLoaded = {0, "pCache", "Checking if the Cache is loaded",
                               "Cache is not loaded"};
constexpr Step kReadUrl = {0, "GetAuthUrl", "Reading the URL from the registry",
                           "Failed to read the URL from registry"};

}  // namespace qrn::authorize_steps
