#pragma once
// What the front ends derive from the typed URL before a job: the proposed target name, the
// refusal of secure URLs (no longer used by the window) and what keeps "Go" from starting. Pure
// functions; any thread may call them (the window calls them on its UI thread as the URL box
// changes, brindle-get once at start-up).
#include <optional>
#include <string>

// The target name proposed for a URL: the text (trimmed of leading and trailing white space)
// after its last "/", up to the first "?" after that "/". An empty string is a real proposal
// (the URL ends in "/"). No value when the trimmed text holds no "/": the caller then leaves
// its target box as it is.
std::optional<std::string> ProposeTargetName(const std::string& urlText);

// True when the trimmed text begins with "https://" in exactly these lower-case letters: the
// window starts no job for such a URL (brindle-get fetches it).
bool IsRefusedUrl(const std::string& urlText);

// Why the window's inputs cannot start a job, checked on the trimmed texts: no URL, a text the
// URL splitter refuses or whose scheme is not ftp, http or https, or no target (empty, or
// naming a directory with a trailing "/").
enum class InputProblem { None, NoUrl, NotAUrl, NoTarget };
InputProblem CheckJobInputs(const std::string& urlText, const std::string& targetText);
