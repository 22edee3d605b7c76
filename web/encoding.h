#pragma once
// How a reply travels: gzip for text when the client takes it, and the
// entity tag that lets a client keep a file and ask whether it changed.

#include <QByteArray>

namespace web {

// A gzip stream (RFC 1952) of data.
QByteArray gzip(const QByteArray& data);

// Whether an Accept-Encoding header takes gzip ("gzip, deflate, br"; not
// "gzip;q=0").
bool acceptsGzip(const QByteArray& acceptEncoding);

// Whether a reply of this Content-Type is worth compressing: text, JSON,
// script, SVG; never images that are compressed already.
bool isCompressible(const QByteArray& contentType);

// A strong entity tag of a body: "\"" + 22 base64url characters of its
// SHA-256 + "\"".
QByteArray entityTag(const QByteArray& body);

// The tag of the body's gzip form: the same hash with "-gz" appended, so a
// cache never mixes up the two representations.
QByteArray gzipTag(const QByteArray& tag);

// Whether an If-None-Match header names tag, in either representation ("*"
// names every one; weak tags compare as their strong form).
bool tagMatches(const QByteArray& ifNoneMatch, const QByteArray& tag);

}  // namespace web
