// Socket error codes: the platform's errno values mapped onto Windows Sockets codes, their texts,
// and the one place that turns a code into an exception.
#pragma once

#include <string>

namespace appsrv::transport {

// The codes the connection code treats as a quiet end of the connection.
constexpr int kWSAECONNABORTED = 10053;
constexpr int kWSAECONNRESET = 10054;
constexpr int kWSAESHUTDOWN = 10058;
constexpr int kWSAENOTSOCK = 10038;
constexpr int kWSAEWOULDBLOCK = 10035;
constexpr int kWSAETIMEDOUT = 10060;
// Out of descriptors (EMFILE, ENFILE) and out of buffer space (ENOBUFS, ENOMEM).
constexpr int kWSAEMFILE = 10024;
constexpr int kWSAENOBUFS = 10055;

// True for 10053, 10054 and 10058: the peer went away.
bool is_connection_lost(int code);

// The Windows Sockets counterpart of an errno value (ECONNRESET -> 10054, EPIPE -> 10058...);
// an errno without a counterpart is returned unchanged.
int socket_error_from_errno(int err);

// The text of a code ("Connection reset by peer."); "" for codes without one.
std::string WSTranslateSocketErrorMsg(int code);

// Throws EInNotASocket for 10038, else EInSocketError, with "Socket Error # <code>" CR LF text.
[[noreturn]] void RaiseSocketError(int code);

}  // namespace appsrv::transport
