// The web server's helpers: decoding of %-escaped query strings and form
// bodies (EncodeURL, their inverse, lives with the web client).
#ifndef NB_COMMON_NETWORK_WEBSERVER_H
#define NB_COMMON_NETWORK_WEBSERVER_H

#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/string.h"

// "+" becomes a blank, then the escapes EncodeURL writes (upper-case hex
// digits only) become their characters, "%25" last: "%2541" is "%41".
// Every other "%xx" stays as it is.
CString DecodeURL(CString str);
// Splits url at "&" and each piece at its first "=" (a second "=" and what
// follows it is dropped), then decodes names and values into get, which is
// not emptied first. Pieces with an empty name are skipped; a later name
// replaces an earlier one.
void DecodeURL(const CString& url, CAssocArray<CString, CString>& get);

#endif
