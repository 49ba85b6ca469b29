// A sink on 127.0.0.1 for the benchmarks: reads each request by its Content-Length, throws the
// bytes away (so neither its memory nor its copying weighs on the figures), answers 200 and
// records when the body's last byte arrived.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CSink {
public:
    // The request the sink has read in full most recently.
    struct CDone {
        unsigned nCount = 0;  // requests read in full so far
        unsigned long long cbBody = 0;
        std::chrono::steady_clock::time_point tEnd;
    };

    explicit CSink(USHORT nPort = 0) {
        WSADATA wd;
        WSAStartup(MAKEWORD(2, 2), &wd);
        m_s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(nPort);
        if (bind(m_s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_s, 8) != 0) {
            std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", unsigned(nPort));
            std::exit(1);
        }
        int cb = sizeof a;
        getsockname(m_s, reinterpret_cast<sockaddr*>(&a), &cb);
        m_nPort = ntohs(a.sin_port);
        m_thread = std::thread([this] { _Run(); });
    }
    ~CSink() {
        m_bStop = true;
        closesocket(m_s);
        m_thread.join();
        WSACleanup();
    }
    CSink(const CSink&) = delete;
    CSink& operator=(const CSink&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_nPort) + "/upload"; }
    USHORT Port() const { return m_nPort; }

    // Waits until nCount requests have been read in full; false after nTimeoutMs.
    bool WaitDone(unsigned nCount, DWORD nTimeoutMs, CDone* pDone) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool bOk =
            m_cvDone.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] { return m_done.nCount >= nCount; });
        *pDone = m_done;
        return bOk;
    }
    unsigned DoneCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_done.nCount;
    }

private:
    void _Run() {
        std::vector<char> buf(1 << 16);
        while (!m_bStop) {
            SOCKET c = accept(m_s, nullptr, nullptr);
            if (c == INVALID_SOCKET)
                break;
            std::string sHead;
            size_t nEnd = std::string::npos;
            int n = 0;
            while (nEnd == std::string::npos && (n = recv(c, buf.data(), int(buf.size()), 0)) > 0) {
                sHead.append(buf.data(), n);
                nEnd = sHead.find("\r\n\r\n");
            }
            if (nEnd != std::string::npos) {
                unsigned long long cbBody = 0;
                const size_t nLen = sHead.find("Content-Length:");
                if (nLen != std::string::npos)
                    cbBody = std::strtoull(sHead.c_str() + nLen + 15, nullptr, 10);
                const size_t cbHave = sHead.size() - (nEnd + 4);
                unsigned long long cbLeft = cbBody > cbHave ? cbBody - cbHave : 0;
                while (cbLeft && (n = recv(c, buf.data(), int(buf.size()), 0)) > 0)
                    cbLeft -= (unsigned long long)n < cbLeft ? n : cbLeft;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_done.nCount++;
                    m_done.cbBody = cbBody - cbLeft;
                    m_done.tEnd = std::chrono::steady_clock::now();
                }
                m_cvDone.notify_all();
                static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
                send(c, kAnswer, sizeof(kAnswer) - 1, 0);
            }
            shutdown(c, SD_SEND);
            while (recv(c, buf.data(), int(buf.size()), 0) > 0) {
            }
            closesocket(c);
        }
    }

    SOCKET m_s = INVALID_SOCKET;
    USHORT m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cvDone;
    CDone m_done;
};
