#pragma once
// Where an HTTP redirect leads: which statuses are followed and how a Location value is made
// absolute against the URL that was asked for. Pure functions; any thread.
#include <string>

// 301, 302, 303, 307 and 308: followed to their Location.
bool IsRedirectStatus(int status);

// The absolute URL that `location` names from `baseUrl`: an absolute URL as it stands, a
// scheme-relative one ("//host/x") with the base's scheme, an absolute path on the base's
// host, a relative path merged with the base's directory, a query on the base's path; "." and
// ".." segments are removed, a fragment is dropped. "" when the base is no absolute URL or
// the location is empty.
std::string ResolveLocation(const std::string& baseUrl, const std::string& location);
