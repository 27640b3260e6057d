#pragma once
// The server's identity of the remote file, as the part records keep it: from an HTTP header
// block (a strong ETag, else Last-Modified) or an FTP MDTM reply. Pure code, any thread.
#include <string>

// "ETag <value>" for a strong entity tag, else "Last-Modified <value>", else "". A weak tag
// (W/...) is never used: If-Range compares strongly, so it would always answer 200.
std::string HttpValidator(const std::string& header);

// "MDTM <time>" from a 213 reply ("213 20240101120000"), else "".
std::string FtpValidator(const std::string& mdtmReply);

// The value to send as If-Range for a validator from HttpValidator; "" when there is none.
std::string IfRangeValue(const std::string& validator);
