#pragma once

class QUrl;

// Adds the certificate authorities that the usual OpenSSL variables name, SSL_CERT_FILE (a PEM file)
// and SSL_CERT_DIR (a folder of PEM files), to those the updater's HTTPS connections trust besides
// the system's: Qt reads neither, so a service behind a private authority could not be reached.
void trustOpenSslEnvironment();
// The same, once per process and only before the first https URL: where the variables name the
// whole system store, reading it costs a run over plain http a tenth of a second.
void trustOpenSslEnvironmentFor(const QUrl &url);
