#pragma once
// A fingerprint of the page's files as this program carries them: it changes
// with any of them, so what a browser kept of another version is replaced.

#include <QByteArray>

namespace web {

// 16 hex digits of a SHA-256 over the names and contents of the files under
// :/web (the service worker's own file aside, which carries the fingerprint).
QByteArray pageFingerprint();

}  // namespace web
