// The other network tests trust this server's records, so its own framing is checked with raw sockets.
#include "test_server.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

SOCKET Connect(USHORT nPort) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(nPort);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

std::string Exchange(USHORT nPort, const std::string& sRequest) {
    SOCKET s = Connect(nPort);
    EXPECT_NE(s, INVALID_SOCKET);
    send(s, sRequest.data(), static_cast<int>(sRequest.size()), 0);
    std::string out;
    char buf[4096];
    int n;
    while ((n = recv(s, buf, sizeof buf, 0)) > 0)
        out.append(buf, static_cast<size_t>(n));
    closesocket(s);
    return out;
}

}  // namespace

TEST(TestServer, RecordsRequestAndAnswersFromScript) {
    CTestServer srv;
    CAnswer a;
    a.sStatusLine = "HTTP/1.1 404 Gone Away";
    a.AddHeader("Set-Cookie", "a=1").AddHeader("Set-Cookie", "b=2");
    a.sBody = std::string("bin\0ary", 7);
    srv.Script(a);

    const std::string sent =
        "POST /x.php HTTP/1.1\r\nHost: h\r\ncontent-length: 5\r\nX-A:  v \r\n\r\n" + std::string("ab\0de", 5);
    std::string resp = Exchange(srv.Port(), sent);
    const char want[] =
        "HTTP/1.1 404 Gone Away\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n"
        "Connection: close\r\nContent-Length: 7\r\n\r\nbin\0ary";
    EXPECT_EQ(resp, std::string(want, sizeof want - 1));

    CRecordedRequest r = srv.WaitRequest(0);
    EXPECT_EQ(r.sRaw, sent);
    EXPECT_TRUE(r.bComplete);
    EXPECT_EQ(r.RequestLine(), "POST /x.php HTTP/1.1");
    EXPECT_EQ(r.Header("CONTENT-LENGTH"), "5");
    EXPECT_EQ(r.Header("x-a"), "v");
    EXPECT_EQ(r.HeaderCount("Host"), 1u);
    EXPECT_EQ(r.Body(), std::string("ab\0de", 5));

    // Script used up: the default answer follows.
    EXPECT_EQ(Exchange(srv.Port(), "GET / HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
}

TEST(TestServer, ChunkedCutAndRefused) {
    CTestServer srv;
    CAnswer a;
    a.sBody = "0123456789";
    a.bChunked = true;
    a.cbChunk = 4;
    srv.Script(a);
    EXPECT_EQ(Exchange(srv.Port(), "GET / HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n"
              "4\r\n0123\r\n4\r\n4567\r\n2\r\n89\r\n0\r\n\r\n");

    CAnswer cut;
    cut.nCloseAfterBody = 3;
    srv.Script(cut);
    EXPECT_EQ(Exchange(srv.Port(), "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcdefghij"), "");
    CRecordedRequest r = srv.WaitRequest(1);
    EXPECT_FALSE(r.bComplete);
    EXPECT_EQ(r.Body(), "abc");

    EXPECT_EQ(Connect(CTestServer::UnusedPort()), INVALID_SOCKET);
}

TEST(TestServer, BoundaryAndFiles) {
    CRecordedRequest r;
    r.sRaw = "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=--XY-1\r\n\r\n----XY-1\r\n";
    EXPECT_EQ(r.Boundary(), "--XY-1");
    EXPECT_EQ(ReplaceAll(r.Body(), r.Boundary(), "B"), "--B\r\n");

    std::string path;
    {
        CTempFile f(std::string("x\0y", 3));
        path = f.Path();
        EXPECT_EQ(ReadBytes(path), std::string("x\0y", 3));
    }
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);

    std::string big = TempPath();
    ASSERT_TRUE(MakeSparseFile(big, 0x100000010ULL));
    WIN32_FILE_ATTRIBUTE_DATA fad;
    ASSERT_TRUE(GetFileAttributesExA(big.c_str(), GetFileExInfoStandard, &fad));
    EXPECT_EQ(fad.nFileSizeHigh, 1u);
    EXPECT_EQ(fad.nFileSizeLow, 0x10u);
    EXPECT_TRUE(RemoveFile(big));
}

TEST(TestServer, DelayStallAndShortBody) {
    CTestServer srv;
    CAnswer a;
    a.nStallAfterBody = 2;
    a.dwStallMs = 300;
    a.dwDelayMs = 200;
    a.sBody = "abcdef";
    a.nSendBodyBytes = 3;
    srv.Script(a);
    DWORD t0 = GetTickCount();
    std::string resp = Exchange(srv.Port(), "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nwxyz");
    EXPECT_GE(GetTickCount() - t0, 450u);
    EXPECT_EQ(resp.substr(resp.size() - 7), "\r\n\r\nabc");
    EXPECT_EQ(srv.WaitRequest(0).Body(), "wxyz");
}
