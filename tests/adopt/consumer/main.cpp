// A program outside the repository, built the ways the library's users build theirs.
#include <cstdio>

#include "client.h"

int main() {
    Tavon::CHttpClientA client;
    client.AddParam("product", "Quilla");
    try {
        client.StartPost("http:///no-host");
    } catch (const Tavon::httpclientexceptionA& e) {
        std::printf("refused with %lu: %s\n", e.GetErrorCode(), e.GetErrorMessage());
        return e.GetErrorCode() == Tavon::HTTPCLIENT_ERR_INVALID_URL ? 0 : 1;
    }
    return 1;
}
