/* Does the system's TLS work at all? One WinHTTP GET of https://HOST:PORT/
 * through Schannel; prints the status code and the first line of the body.
 * The server's certificate is not checked here (its CA is not the
 * machine's): only the TLS session is. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <winhttp.h>

static int fail(const char *step) {
  fprintf(stderr, "winhttp_probe: %s failed: error %lu\n", step, (unsigned long)GetLastError());
  return 1;
}

int wmain(int argc, wchar_t **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: winhttp_probe HOST PORT\n");
    return 2;
  }
  HINTERNET session = WinHttpOpen(L"vqlogger-test", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) return fail("WinHttpOpen");
  HINTERNET connection = WinHttpConnect(session, argv[1], (INTERNET_PORT)_wtoi(argv[2]), 0);
  if (!connection) return fail("WinHttpConnect");
  HINTERNET request = WinHttpOpenRequest(connection, L"GET", L"/", NULL, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
  if (!request) return fail("WinHttpOpenRequest");
  DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                 SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof ignore))
    return fail("WinHttpSetOption");
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    return fail("WinHttpSendRequest");
  if (!WinHttpReceiveResponse(request, NULL)) return fail("WinHttpReceiveResponse");
  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    return fail("WinHttpQueryHeaders");
  printf("status %lu\n", (unsigned long)status);
  char body[512];
  DWORD got = 0;
  if (!WinHttpReadData(request, body, sizeof body - 1, &got)) return fail("WinHttpReadData");
  body[got] = '\0';
  body[strcspn(body, "\r\n")] = '\0';
  printf("%s\n", body);
  WinHttpCloseHandle(request);
  WinHttpCloseHandle(connection);
  WinHttpCloseHandle(session);
  return status == 200 ? 0 : 1;
}
