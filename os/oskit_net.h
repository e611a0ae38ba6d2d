#ifndef OSKIT2_NET_H
#define OSKIT2_NET_H

// Blocking TCP helpers, SOCKS4/4a, SOCKS5 and HTTP CONNECT proxy clients,
// a SOCKS5 UDP relay client, a UDP broadcast receiver thread and the host's
// IPv4 interface list.
//
//   int s = socks5_tcp_connect("10.0.0.1", 1080, "example.org", 443, "user", "pw");
//   if (s >= 0) { timed_write_n(s, req, n); ... close(s); }
//
// The proxy and transfer functions keep no state: the caller owns the socket
// and may call them from any thread. A negative result is one of the codes
// below. A Socks5Udp object belongs to one thread; CUDPBroadcast calls its
// callback on its own receive thread.

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#include "oskit_thread.h"

// Transfer
#define OSKIT_ERR_SELECT        (-101)
#define OSKIT_ERR_TIMEOUT       (-102)
#define OSKIT_ERR_SEND          (-103)
#define OSKIT_ERR_RECV          (-104)
#define OSKIT_ERR_CLOSED        (-105)
#define OSKIT_ERR_CONNECT       (-106)
// HTTP CONNECT
#define OSKIT_ERR_HTTP_CRED     (-301)
#define OSKIT_ERR_HTTP_SEND     (-302)
#define OSKIT_ERR_HTTP_REPLY    (-303)
#define OSKIT_ERR_HTTP_REFUSED  (-304)
// SOCKS4
#define OSKIT_ERR_S4_DEST       (-401)
#define OSKIT_ERR_S4_SEND       (-402)
#define OSKIT_ERR_S4_REPLY      (-403)
#define OSKIT_ERR_S4_REJECTED   (-404)
// SOCKS5
#define OSKIT_ERR_S5_METHOD_SEND   (-501)
#define OSKIT_ERR_S5_METHOD_REPLY  (-502)
#define OSKIT_ERR_S5_METHOD_REFUSED (-503)
#define OSKIT_ERR_S5_CRED_LEN      (-504)
#define OSKIT_ERR_S5_CRED_SEND     (-505)
#define OSKIT_ERR_S5_AUTH_REPLY    (-506)
#define OSKIT_ERR_S5_AUTH_REFUSED  (-507)
#define OSKIT_ERR_S5_BAD_REQUEST   (-508)
#define OSKIT_ERR_S5_REQ_SEND      (-509)
#define OSKIT_ERR_S5_REPLY         (-510)
#define OSKIT_ERR_S5_FAILED        (-511)
#define OSKIT_ERR_S5_UDP_SOCKET    (-512)
#define OSKIT_ERR_S5_UDP_TOO_LONG  (-513)  // also a received fragment
#define OSKIT_ERR_S5_UDP_SEND      (-514)
#define OSKIT_ERR_S5_UDP_SHORT     (-515)
#define OSKIT_ERR_S5_UDP_RESERVED  (-516)
#define OSKIT_ERR_S5_UDP_BUFFER    (-517)
#define OSKIT_ERR_S5_UDP_ADDRTYPE  (-518)

#ifdef __cplusplus
extern "C" {
#endif

// len, or -101 / -102 (5 s without progress) / -103. Never raises SIGPIPE.
int timed_write_n(int sock, const void* buf, int len);
// len, or -101 / -102 / -104 / -105 (peer closed).
int timed_read_n(int sock, void* buf, int len);
// Connected socket, or -106. A host starting with a letter is resolved (IPv4).
int connect_server(const char* host, unsigned short port);

int socks5_tcp_connect(const char* proxy, unsigned short proxy_port, const char* dest, unsigned short dest_port,
                       const char* user, const char* password);
int socks4_connect(const char* proxy, unsigned short proxy_port, const char* dest, unsigned short dest_port);
// dest of at most 255 characters (-302 otherwise).
int http_connect(const char* proxy, unsigned short proxy_port, const char* dest, unsigned short dest_port,
                 const char* user, const char* password);

typedef int (*FOnUDPReceive)(void* owner, void* data, int len);
typedef int (*FOnUDPReceiveEx)(void* owner, void* data, int len, const char* sender_ip, int sender_port);
// Shared by every CUDPBroadcast; set by InitEx and InitByAddr.
extern FOnUDPReceiveEx g_pReceiveFunctionEx;

#ifdef __cplusplus
}
#endif

namespace OSKIT2 {

// Datagrams through a SOCKS5 proxy's UDP relay (RFC 1928 UDP ASSOCIATE).
class Socks5Udp {
public:
    Socks5Udp();
    ~Socks5Udp();
    // 1, or a negative code.
    int UdpInit(const char* proxy, unsigned short port, const char* user, const char* password);
    // Payload bytes sent, or a negative code.
    int SendTo(const void* buf, int len, int flags, const struct sockaddr* to);
    // Payload size, or a negative code; -517 keeps the datagram for the next call.
    int RecvFrom(void* buf, int len, int flags, struct sockaddr* from, socklen_t* fromlen);
    void CloseSocket();
    int GetUdpHandle() const { return udp_fd; }

    Socks5Udp(const Socks5Udp&) = delete;
    Socks5Udp& operator=(const Socks5Udp&) = delete;

private:
    int tcp_fd;
    int udp_fd;
    struct sockaddr_in udp_serv;
    bool m_bAlreadyReaded;
    char m_szRecvBuf[65535];
    int m_iPackSize;
};

// UDP socket on a port with a thread handing every datagram to a callback.
// Allocate with new: Destroy() stops the thread and deletes the object.
class CUDPBroadcast : public CThread {
public:
    CUDPBroadcast();
    ~CUDPBroadcast() override;
    int Init(unsigned port, FOnUDPReceive callback, void* owner);
    int InitEx(unsigned port, FOnUDPReceiveEx callback, void* owner);
    int InitByAddr(const char* address, unsigned port, FOnUDPReceiveEx callback, void* owner);
    long Run() override;
    int Broadcast(const void* data, int len);
    int SetSendBufLen(int n);
    int SetRecvBufLen(int n);
    void Destroy();
    int Socket() const { return m_iSock; }

private:
    int MakeSocket(const char* address);
    unsigned m_iPort;
    FOnUDPReceive m_pReceiveFunction;
    void* m_lpOwner;
    int m_iSock;
};

struct tagIPAddress {
    char szIP[32];
    uint32_t dwMask;  // network byte order
};

struct tagMacAddress {
    unsigned char szNet[4];
    unsigned char szNode[6];
};

class CNetInterface {
public:
    virtual ~CNetInterface() {}
    // count: capacity of list on entry, entries written on return.
    bool GetIpAddress(tagIPAddress* list, int& count);
    // Not supported: count becomes 0; returns whether it was positive.
    bool GetMacAddress(tagMacAddress* list, int& count);
};

}  // namespace OSKIT2

#endif
