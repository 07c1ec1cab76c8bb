#pragma once

// Adds the certificate authorities that the usual OpenSSL variables name, SSL_CERT_FILE (a PEM file)
// and SSL_CERT_DIR (a folder of PEM files), to those the updater's HTTPS connections trust besides
// the system's: Qt reads neither, so a service behind a private authority could not be reached.
void trustOpenSslEnvironment();
