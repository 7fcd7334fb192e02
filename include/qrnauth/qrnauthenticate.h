// CQRNAuthenticate: proves who a user is with NTLM, in-process or against a
// peer, and keeps the last authenticated identity. Texts are UTF-8.
#pragma once

#include <cstdint>

#include "qrnauth/export.h"
#include "qrnauth/oleauto.h"

namespace qrn::platform {
struct SecurityFunctionTableA;
struct SEC_WINNT_AUTH_IDENTITY_A;
}  // namespace qrn::platform
struct IUnknown;

// ---- handshake state ----------------------------------------------------------
// A security provider handle: two pointer-sized words whose meaning belongs
// to the provider.
struct QrnSecHandle {
  uintptr_t dwLower;
  uintptr_t dwUpper;
};

// The state of one side of one NTLM conversation.
struct _AUTH_SEQ {
  int32_t newConversation;   // non-zero: the next step starts a new conversation
  QrnSecHandle credentials;  // credentials acquired for this side
  bool haveCredentials;      // credentials must be released
  bool haveContext;          // context must be deleted
  QrnSecHandle context;      // the security context of this side
};

class QRNAUTH_API CQRNAuthenticate {
 public:
  // ---- lifetime and handshake engine --------------------------------------------
  // Loads the NTLM provider (GSSAPI with the NTLMSSP mechanism) and prepares
  // both token buffers. Reports nothing: an object whose provider did not load
  // answers false (or fails) on every later call.
  CQRNAuthenticate();
  // The same over another provider table with the contracts of
  // platform/sspi.h (the default constructor passes the GSSAPI table). The
  // table must outlive the object.
  explicit CQRNAuthenticate(qrn::platform::SecurityFunctionTableA* provider);
  // Releases the client and server credentials and contexts this object
  // holds, then the buffers.
  ~CQRNAuthenticate();
  // Refused: a copy would share the provider handles of its source, and the
  // two objects would release the same handles (handles cannot be duplicated).
  CQRNAuthenticate(const CQRNAuthenticate&) = delete;
  CQRNAuthenticate& operator=(const CQRNAuthenticate&) = delete;

  // ---- credential verification ----------------------------------------------------
  // Checks domain, user and password (UTF-8; null counts as empty) by running
  // both sides of an NTLM conversation in this process, on the check's own
  // copies of the three texts (checks on other objects and threads cannot
  // change them). All three empty: the current operating-system user counts
  // as authenticated, without any provider call. A domain or password
  // without a user name names nobody and is denied, without any provider
  // call. The credentials stay in the process credential record. Every
  // answer except an internal exception is sent as an audit record (when
  // "LogInfoToServer" is 1 or 2), under the domain and user of this check.
  // Texts over 255 bytes are refused (false); names of up to 255 bytes are
  // checked. The user name matches without regard to case, the domain as the
  // account source spells it.
  bool AuthenticateUser(const char* domain, const char* user, const char* password);
  // The same check with the credentials the process record holds now. False,
  // without a provider call, while the record holds refused credentials.
  bool Authenticate();
  // Puts the credentials into the process record for the next client
  // conversation of any object, checking nothing. False when a text is longer
  // than 255 bytes: the record is then refused (empty, and not the current
  // user) so that Authenticate and client steps fail until credentials are
  // set again.
  bool SetAuthenticationCredential(const char* domain, const char* user, const char* password);

  // ---- handshake transports --------------------------------------------------
  // Carry the NTLM tokens between a client and a server process: over a
  // connected stream socket in frames (a 4-byte length in the machine's
  // order, little-endian on x86-64 and arm64, then the token; an empty token
  // is not sent), through buffers the host moves
  // in its own remote calls, or in HTTP/1.0 headers. The library never
  // connects, closes or shuts down a socket. No wait on the peer lasts
  // longer than the transport timeout (see SetTransportTimeout).
  //
  // The client side of the socket transport: sends the first token and
  // answers every frame until its own side is complete; it does not wait for
  // the server's verdict (the server's last step sends nothing). After its
  // first token went out it writes an audit record ("Success" or "Failed").
  // The client side of an object serves one conversation.
  bool SocketAuthenticationClient(uint32_t socket);
  // The server side: a new conversation on every call; true when the client
  // was accepted. A frame longer than the token buffer (2888 bytes) is
  // refused before its bytes are read. GetClientIdentity then names the
  // client.
  bool SocketAuthenticationServer(uint32_t socket);
  // One client step on the caller's buffers. input is ignored on the first
  // call of a conversation; *outputLength is the capacity of output on entry
  // and the produced length on return; *done tells whether this side is
  // complete. Explicit credentials (SetAuthenticationCredential) are used
  // only when both the user name and the domain are set.
  bool RpcAuthenticationClient(const uint8_t* input, uint32_t inputLength, uint8_t* output,
                               uint32_t* outputLength, bool* done);
  // One server step of the conversation the host keeps in `conversation`
  // (before the first call: newConversation non-zero, haveCredentials and
  // haveContext false). One object serves any number of conversations, on
  // any threads. Handles a record still holds when a new conversation starts
  // on it are released first.
  bool RpcAuthenticationServer(_AUTH_SEQ* conversation, const uint8_t* input, uint32_t inputLength,
                               uint8_t* output, uint32_t* outputLength, bool* done);
  // The calling thread impersonates the client of a completed conversation
  // (only that thread's uid, gid and groups change; needs the privilege to
  // switch ids), until RpcRevertContext.
  bool RpcImpersonateContext(_AUTH_SEQ* conversation);
  // Ends the calling thread's impersonation: it has its own ids again.
  bool RpcRevertContext(_AUTH_SEQ* conversation);
  // Releases the handles a conversation record holds and makes it fresh
  // (newConversation set), ready for a new conversation.
  bool RpcReleaseConversation(_AUTH_SEQ* conversation);
  // The client name of the object's completed server conversation
  // (SocketAuthenticationServer or the credential check), or of a completed
  // RPC conversation: the part before the "\" into domain (empty when none)
  // and the rest into user, 256-byte buffers each. False, buffers untouched,
  // when there is no completed conversation or a part exceeds 255 bytes.
  bool GetClientIdentity(char* domain, char* user);
  bool RpcGetClientIdentity(_AUTH_SEQ* conversation, char* domain, char* user);
  // Authenticates to an HTTP server that offers NTLM over a connected
  // socket by repeating one HTTP/1.0 request ("verb url", the body with a
  // Content-Length when bodyLength is non-zero) with "Authorization: NTLM"
  // until the server answers 200. The request head must fit 1024 bytes and
  // every response head 8192 bytes, else the call fails; discarded response
  // bodies over 16 MiB fail it too. The final answer's body is not read.
  bool HttpAuthenticationClient(uint32_t socket, const char* verb, const char* url,
                                const char* body, uint32_t bodyLength);
  // The transport timeout of the process: sending or receiving one frame,
  // sending one HTTP request and reading its response head, and discarding
  // one response body must each be done within it, else the call fails.
  // Read when a transport call starts; 0 restores the default of 60,000 ms.
  static void SetTransportTimeout(uint32_t milliseconds);
  static uint32_t GetTransportTimeout();

  // ---- error trail ----------------------------------------------------------
  // The authentication trail of the process: the same pointer for every
  // object and every call. Read or copy it; never clear it.
  static VARIANT* GetLastMvtErrors();

  // ---- saved identity -----------------------------------------------------------
  // The saved identity is one block of memory shared by the processes of
  // this user, read and written without a lock: a named identity (domain,
  // user name, password) or a mark that it is the operating-system user of
  // each process. It starts empty; only SaveIdentity writes it.
  //
  // Saves the identity for other processes: after empty credentials (the
  // current user) only the operating-system user mark is set and the texts
  // stay; otherwise the domain, user name and password of the process
  // credential record go into the block, whether or not they were verified.
  // Always true.
  bool SaveIdentity();
  // The saved identity as names, into two 256-byte buffers (each text cut to
  // 255 bytes at a character boundary, NUL-terminated). The operating-system
  // user mark gives this process's own user (GetCurrentUserInfo); a named
  // identity gives its domain and user name, which also go into the process
  // credential record with the password. False, buffers untouched, when
  // nothing is saved (an empty user name or domain) or a buffer is null.
  bool GetAuthenticatedIdentity(char* domain, char* user);

  // ---- impersonation, identity as identifier, proxy credentials, host posts ----
  // The calling thread acts as the client of this object's server context
  // (the client authenticated by the last credential check or server
  // handshake of this object): only this thread's effective uid, gid and
  // supplementary groups change, to those of the client's account in NSS
  // ("DOMAIN\user" as it stands, else "user"). Needs the privilege to
  // switch ids (root or CAP_SETUID and CAP_SETGID). False, nothing changed,
  // when no client is authenticated, the account is unknown or the switch is
  // refused. A second call switches to the client again; RevertContext still
  // goes back to the ids before the first.
  bool ImpersonateContext();
  // Ends the calling thread's impersonation and restores exactly the uid,
  // gid and groups it had before. True also when the thread did not
  // impersonate; false when no server context exists or the ids could not
  // be restored.
  bool RevertContext();
  // The saved identity's security identifier, in the binary layout
  // (revision 1, sub-authority count, 6-byte big-endian authority, 32-bit
  // little-endian sub-authorities). *size: in, the capacity of sid in bytes;
  // out, the identifier's length whenever one was found. The identifier is
  // the one winbind gives for the saved domain and user name (for the
  // operating-system user mark: this process's own user), else the
  // well-known INTERACTIVE identifier S-1-5-4 (12 bytes). False when
  // nothing is saved, size is null, or sid is null or too small (*size then
  // says how much is needed; 68 bytes always suffice).
  bool GetAuthenticatedIdentity(uint8_t* sid, uint32_t* size);
  // Sets the security blanket of a proxy (through its IClientSecurity) to
  // the saved identity: authentication service RPC_C_AUTHN_WINNT,
  // authorization service RPC_C_AUTHZ_NONE, no server principal, the given
  // levels, capabilities 0, and for a saved named identity a COAUTHIDENTITY
  // (qrnauth/proxy_security.h) that stays valid for the life of the process;
  // nothing saved or the operating-system user mark: no explicit identity.
  // E_INVALIDARG for a null proxy; else the result of QueryInterface or
  // SetBlanket.
  HRESULT SetWkzUser(IUnknown* proxy, DWORD authn_level, DWORD imp_level);
  // The same call with no explicit identity: the proxy calls out as the
  // process's own user.
  HRESULT RevertToOSUser(IUnknown* proxy, DWORD authn_level, DWORD imp_level);
  // Posts form_data to url (http or https) and gives the answer as a new
  // BSTR the caller frees: the page's text, a status number ("404", "801"),
  // "800" for an answer that carries an "MVT Error:" header, "800 " and a
  // message when the request failed in the internet layer, or empty (a URL
  // that is not http or https, an unusable redirect). A saved named
  // identity's credentials are offered when the server asks for them (Basic
  // or NTLM, as its challenge says). One 301/302/303 redirect to an http URL
  // is followed by a GET without credentials. S_OK whatever the answer;
  // E_INVALIDARG for a null document, E_OUTOFMEMORY when memory ran out.
  HRESULT GetHttpDocument(const char* url, const char* form_data, BSTR* document);

  // ---- current user -----------------------------------------------------------
  // The operating-system user of the calling thread (its effective uid, so a
  // thread that impersonates a client gets that client). domain and user are
  // buffers of 256 bytes each. The domain is the part before the separator of
  // a domain account's name ("SALES\bob" gives SALES and bob); a local
  // account's domain is this computer's name. On a Novell client (machine
  // value "NovellClient" = 1) both come from the registered NovellUserInfo
  // component (qrnauth/novell.h). True only when both texts are non-empty;
  // only then are the buffers written (each text cut to 255 bytes at a
  // character boundary, NUL-terminated). Null buffers give false.
  static bool GetCurrentUserInfo(char* domain, char* user);
  // Clears both 256-byte buffers, then calls GetCurrentUserInfo: S_OK when it
  // succeeds, else E_FAIL (the buffers then stay cleared).
  static HRESULT GetCurrentContext(char* domain, char* user);

 private:
  // ---- handshake engine --------------------------------------------------------
  bool InitPackage(qrn::platform::SecurityFunctionTableA* provider);
  bool InitSession();
  bool TermPackage();
  // One client step: consumes inToken/inTokenLength, produces
  // outToken/outTokenLength. A new conversation takes the explicit identity
  // of the process credential record (copied under its lock) when it has a
  // user name, else the current logon; a refused record fails the step.
  bool GenClientContext();
  // The same step with the given explicit identity, or the current logon
  // when identity is null; the process record is not read.
  bool GenClientContext(qrn::platform::SEC_WINNT_AUTH_IDENTITY_A* identity);
  // One server step: consumes outToken/inTokenLength, produces
  // inToken/outTokenLength. Provider failures go to the authentication trail.
  bool GenServerContext();

  // ---- handshake transports ----------------------------------------------------
  bool SendBytes(const uint8_t* buffer, uint32_t length);
  bool SendMsg(const uint8_t* buffer, uint32_t length);
  bool ReceiveBytes(uint8_t* buffer, uint32_t length, uint32_t* received);
  bool ReceiveMsg(uint8_t* buffer, uint32_t capacity, uint32_t* received);
  // One client step on given buffers for the RPC and HTTP transports.
  bool TransportClientStep(const uint8_t* input, uint32_t inputLength, uint8_t* output,
                           uint32_t* outputLength, bool* stepDone);
  // One HTTP client step: the server's base64 token (null: none) in, the
  // base64 text of the client's token out (outputCapacity bytes with NUL).
  bool AuthConverse(const char* serverToken, uint32_t* decodedLength, char* output,
                    uint32_t outputCapacity, uint32_t* outputLength);
  // Appends "Authorization: NTLM <token>\r\n" to the NUL-terminated head in
  // a buffer of `capacity` bytes; false when the step fails or it does not
  // fit.
  bool AddAuthorizationHeader(char* headers, uint32_t capacity, const char* serverToken);

  // ---- credential verification ----------------------------------------------------
  bool SSPAuthenticateUser(const char* domain, const char* user, const char* password);
  void WriteLog(bool success);

  // ---- saved identity -----------------------------------------------------------
  // Brings the saved identity into the process credential record; true when
  // there is one (the operating-system user mark, or a user name and domain).
  bool ReadIdentity();

  // ---- fields, in this order ----------------------------------------------------
  uint32_t tokenBufferSize;  // capacity of both token buffers
  _AUTH_SEQ serverSeq;
  void* providerLibrary;  // no library is loaded on Linux: always null
  qrn::platform::SecurityFunctionTableA* securityFunctions;  // null: not usable
  uint32_t maxTokenSize;                                     // same as tokenBufferSize
  _AUTH_SEQ clientSeq;
  uint8_t* inToken;  // owned, tokenBufferSize bytes
  uint32_t inTokenLength;
  uint8_t* outToken;  // owned, tokenBufferSize bytes
  uint32_t outTokenLength;
  bool done;            // the last step completed the conversation
  bool useCurrentUser;  // the latest credentials were all empty
  int32_t socket;       // connected socket of the socket and HTTP transports
};
