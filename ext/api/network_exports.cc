// lmNetwork_*, lmHTTPResponse_*, lumo_network_* and the database families.
//
// The network clients and the database engine that these calls forward to
// are not part of the build yet. Until they are, every call fails the way
// its family fails (NULL, 0 or -1) and the error calls say why, so that a
// library written against the full interface loads and degrades instead of
// finding missing symbols. No handle of these families can exist yet, so
// none is ever dereferenced.
#include <arpa/inet.h>

#include <cstring>

#include "ext/api/api_internal.h"

namespace lumo::api {
namespace {

constexpr std::string_view kNoNetwork = "Network connections are not available in this build";

// The message of the last failed network call; a run stays on one thread.
thread_local String g_network_error;

const char* NetworkError(int32_t* length) { return TextResult(g_network_error, length); }

template <typename Result>
Result NetworkUnavailable(Result failure) {
  g_network_error.Assign(kNoNetwork.data(), Length(kNoNetwork));
  return failure;
}

bool IsIPAddress(std::string_view text) {
  // The longest textual IPv6 address, with an embedded IPv4 tail, is 45.
  char buffer[64];
  if (text.empty() || text.size() >= sizeof buffer || text.find('\0') != std::string_view::npos) {
    return false;
  }
  memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  unsigned char address[16];
  return inet_pton(AF_INET, buffer, address) == 1 || inet_pton(AF_INET6, buffer, address) == 1;
}

}  // namespace
}  // namespace lumo::api

using namespace lumo;       // NOLINT: the exports are one flat C interface
using namespace lumo::api;  // NOLINT

// ---- lmNetwork_* ---------------------------------------------------------

LUMO_EXPORT lmNetworkConnection* lmNetwork_Connect(lmProgram*, const char*, int32_t, int32_t,
                                                   int32_t) {
  return NetworkUnavailable(static_cast<lmNetworkConnection*>(nullptr));
}
LUMO_EXPORT lmNetworkConnection* lmNetwork_Connect_SSL(lmProgram*, const char*, int32_t, int32_t,
                                                       int32_t) {
  return NetworkUnavailable(static_cast<lmNetworkConnection*>(nullptr));
}
LUMO_EXPORT int lmNetwork_Close(lmNetworkConnection*) { return NetworkUnavailable(0); }
LUMO_EXPORT int32_t lmNetwork_Read(lmNetworkConnection*, void*, int32_t) {
  return NetworkUnavailable(int32_t{-1});
}
LUMO_EXPORT int32_t lmNetwork_Read_Line(lmNetworkConnection*, char* buffer, int32_t capacity) {
  if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
  return NetworkUnavailable(int32_t{-1});
}
LUMO_EXPORT int lmNetwork_Write(lmNetworkConnection*, const void*, int32_t) {
  return NetworkUnavailable(0);
}
LUMO_EXPORT const char* lmNetwork_Error(lmProgram*, int32_t* length) {
  return NetworkError(length);
}
LUMO_EXPORT int lmNetwork_Get_Host_Address(lmProgram*, const char*, int32_t, lmVariable*) {
  return NetworkUnavailable(0);
}
LUMO_EXPORT int lmNetwork_Is_IP_Address(const char* text, int32_t length) {
  std::string_view t;
  if (!TextArgument(text, length, &t)) return 0;
  return IsIPAddress(t) ? 1 : 0;
}
LUMO_EXPORT lmHTTPResponse* lmNetwork_Open_URL(lmProgram*, const char*, int32_t, int32_t) {
  return NetworkUnavailable(static_cast<lmHTTPResponse*>(nullptr));
}
LUMO_EXPORT lmHTTPResponse* lmNetwork_HTTP_Request(lmProgram*, const char*, int32_t, const char*,
                                                   int32_t, lmVariableList*, const char*,
                                                   int32_t, int32_t) {
  return NetworkUnavailable(static_cast<lmHTTPResponse*>(nullptr));
}

// ---- lmHTTPResponse_* ----------------------------------------------------

LUMO_EXPORT int32_t lmHTTPResponse_Status_Code(lmHTTPResponse*) {
  return NetworkUnavailable(int32_t{0});
}
LUMO_EXPORT int64_t lmHTTPResponse_Content_Length(lmHTTPResponse*) {
  return NetworkUnavailable(int64_t{-1});
}
LUMO_EXPORT int32_t lmHTTPResponse_Read(lmHTTPResponse*, void*, int32_t) {
  return NetworkUnavailable(int32_t{-1});
}
LUMO_EXPORT int lmHTTPResponse_Close(lmHTTPResponse*) { return NetworkUnavailable(0); }
LUMO_EXPORT const char* lmHTTPResponse_Error(lmHTTPResponse*, int32_t* length) {
  return NetworkError(length);
}

// ---- lumo_network_* --------------------------------------------------------

namespace {
int Status(int ok) { return ok ? 0 : -1; }
}  // namespace

LUMO_EXPORT lmNetworkConnection* lumo_network_connect(lmProgram* program, const char* host,
                                                      int32_t length, int32_t port,
                                                      int32_t timeout_seconds) {
  return lmNetwork_Connect(program, host, length, port, timeout_seconds);
}
LUMO_EXPORT lmNetworkConnection* lumo_network_connect_ssl(lmProgram* program, const char* host,
                                                          int32_t length, int32_t port,
                                                          int32_t timeout_seconds) {
  return lmNetwork_Connect_SSL(program, host, length, port, timeout_seconds);
}
LUMO_EXPORT int lumo_network_close(lmNetworkConnection* connection) {
  return Status(lmNetwork_Close(connection));
}
LUMO_EXPORT int32_t lumo_network_read(lmNetworkConnection* connection, void* buffer,
                                      int32_t length) {
  return lmNetwork_Read(connection, buffer, length);
}
LUMO_EXPORT int32_t lumo_network_read_line(lmNetworkConnection* connection, char* buffer,
                                           int32_t capacity) {
  return lmNetwork_Read_Line(connection, buffer, capacity);
}
LUMO_EXPORT int lumo_network_write(lmNetworkConnection* connection, const void* buffer,
                                   int32_t length) {
  return Status(lmNetwork_Write(connection, buffer, length));
}
LUMO_EXPORT const char* lumo_network_error(lmProgram* program) {
  return lmNetwork_Error(program, nullptr);
}
LUMO_EXPORT int lumo_network_get_host_address(lmProgram* program, const char* host,
                                              int32_t length, lmVariable* result) {
  return Status(lmNetwork_Get_Host_Address(program, host, length, result));
}
LUMO_EXPORT int lumo_network_is_ip_address(const char* text, int32_t length) {
  return lmNetwork_Is_IP_Address(text, length);
}
LUMO_EXPORT lmHTTPResponse* lumo_network_open_url(lmProgram* program, const char* url,
                                                  int32_t length, int32_t timeout_seconds) {
  return lmNetwork_Open_URL(program, url, length, timeout_seconds);
}
LUMO_EXPORT lmHTTPResponse* lumo_network_http_request(lmProgram* program, const char* method,
                                                      int32_t method_length, const char* url,
                                                      int32_t url_length,
                                                      lmVariableList* headers, const char* body,
                                                      int32_t body_length,
                                                      int32_t timeout_seconds) {
  return lmNetwork_HTTP_Request(program, method, method_length, url, url_length, headers, body,
                                body_length, timeout_seconds);
}

// ---- Databases -------------------------------------------------------------
// External database views arrive with the database engine; there is no
// database, view or field a library could hold yet.

LUMO_EXPORT lmDatabaseView* lmDatabase_AddView(lmDatabase*, const char*, int32_t) {
  return nullptr;
}
LUMO_EXPORT lmProgram* lmDatabase_Program(lmDatabase*) { return nullptr; }
LUMO_EXPORT void lmDatabase_SetData(lmDatabase*, void*) {}
LUMO_EXPORT int lmDatabase_SetPrimaryView(lmDatabase*, lmDatabaseView*) { return 0; }
LUMO_EXPORT void* lmDatabase_data(lmDatabase*) { return nullptr; }

LUMO_EXPORT lmDatabaseVariable* lmDatabaseView_AddVariable(lmDatabaseView*, const char*, int32_t,
                                                           void*) {
  return nullptr;
}
LUMO_EXPORT int lmDatabaseView_Clear(lmDatabaseView*) { return 0; }
LUMO_EXPORT int lmDatabaseView_Commit(lmDatabaseView*) { return 0; }
LUMO_EXPORT lmDatabase* lmDatabaseView_Database(lmDatabaseView*) { return nullptr; }
LUMO_EXPORT lmProgram* lmDatabaseView_Program(lmDatabaseView*) { return nullptr; }
LUMO_EXPORT void lmDatabaseView_SetData(lmDatabaseView*, void*) {}
LUMO_EXPORT int lmDatabaseView_SetDirty(lmDatabaseView*) { return 0; }
LUMO_EXPORT void* lmDatabaseView_data(lmDatabaseView*) { return nullptr; }

LUMO_EXPORT lmDatabaseView* lmDatabaseVariable_DatabaseView(lmDatabaseVariable*) {
  return nullptr;
}
LUMO_EXPORT void lmDatabaseVariable_SetData(lmDatabaseVariable*, void*) {}
LUMO_EXPORT int lmDatabaseVariable_SetDirty(lmDatabaseVariable*) { return 0; }
LUMO_EXPORT void* lmDatabaseVariable_data(lmDatabaseVariable*) { return nullptr; }
