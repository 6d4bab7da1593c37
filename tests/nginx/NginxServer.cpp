#include "NginxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kvtest {

namespace {

using namespace std::chrono_literals;

constexpr auto startTime = 10s;
constexpr auto stopTime = 10s;
constexpr int portAttempts = 5;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port nobody listens on now; another program may still take it before nginx does.
uint16_t freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    const bool bound = fd >= 0 &&
                       bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) {
        close(fd);
    }
    if (!bound) {
        throw std::runtime_error("no free loopback port");
    }
    return ntohs(address.sin_port);
}

bool accepts(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port);
    const bool connected =
        fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return connected;
}

// Whether the child ended within `limit`; reaped when it did.
bool ended(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (waitpid(pid, nullptr, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string textOf(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

NginxServer::NginxServer(Options options) : options_(options) {
    // Run as root, nginx's workers take another user's rights: they must read the files.
    chmod(folder_.path().c_str(), 0755);
    mkdir(folder_.file("www").c_str(), 0755);
    mkdir(folder_.file("www/packages").c_str(), 0755);
    for (int attempt = 0; attempt < portAttempts; ++attempt) {
        port_ = freeLoopbackPort();
        writeConfiguration();
        if (launch()) {
            return;
        }
    }
    throw std::runtime_error("nginx did not start: " + textOf(folder_.file("error.log")));
}

NginxServer::~NginxServer() {
    stop();
}

std::string NginxServer::packageBase() const {
    return "https://127.0.0.1:" + std::to_string(port_) + "/packages";
}

void NginxServer::writeConfiguration() const {
    const std::string keys = KAVRIN_KEYS_DIR;
    std::ofstream conf(folder_.file("nginx.conf"));
    conf << "daemon off;\nworker_processes 1;\n"
         << "pid " << folder_.file("nginx.pid") << ";\n"
         << "error_log " << folder_.file("error.log") << " info;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n"
         << "  log_format probe '$connection $connection_requests $status \"$http_range\" "
            "$body_bytes_sent $request_uri';\n"
         << "  access_log " << folder_.file("access.log") << " probe;\n";
    for (const char* temporary : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf << "  " << temporary << "_temp_path " << folder_.file(temporary) << ";\n";
    }
    conf << "  sendfile on;\n  keepalive_timeout 60s;\n"
         << "  types { application/vnd.vexaltronic.fota.update bin; }\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port_ << " ssl;\n"
         << "    ssl_certificate " << keys << "/dev-server-cert.pem;\n"
         << "    ssl_certificate_key " << keys << "/dev-server-key.pem;\n"
         << "    root " << folder_.file("www") << ";\n"
         << "    location /packages/ {\n";
    if (options_.slowRate > 0) {
        conf << "      if ($http_range = \"\") { set $limit_rate " << options_.slowRate << "; }\n"
             << "      limit_rate_after " << options_.fastBytes << ";\n";
    }
    conf << "    }\n  }\n}\n";
}

bool NginxServer::launch() {
    const std::string executable = NGINX_EXECUTABLE;
    const std::string configuration = folder_.file("nginx.conf");
    const std::string errors = folder_.file("error.log");
    const std::string prefix = folder_.path() + "/";
    char* const argv[] = {const_cast<char*>(executable.c_str()),    const_cast<char*>("-c"),
                          const_cast<char*>(configuration.c_str()), const_cast<char*>("-p"),
                          const_cast<char*>(prefix.c_str()),        const_cast<char*>("-e"),
                          const_cast<char*>(errors.c_str()),        nullptr};
    pid_ = fork();
    if (pid_ == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + startTime;
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(port_)) {
            return true;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;  // the port was taken, or the configuration refused
        }
        std::this_thread::sleep_for(10ms);
    }
    stop();
    return false;
}

void NginxServer::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    if (!ended(pid_, stopTime)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

void NginxServer::start() {
    if (!launch()) {
        throw std::runtime_error("nginx did not start again: " + textOf(folder_.file("error.log")));
    }
}

void NginxServer::serve(const std::string& name, const std::string& bytes) const {
    const std::string path = folder_.file("www/packages/" + name);
    const std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    chmod(temporary.c_str(), 0644);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("cannot serve " + path);
    }
}

std::vector<NginxServer::Served> NginxServer::accessLog() const {
    std::vector<Served> lines;
    std::istringstream log(textOf(folder_.file("access.log")));
    for (std::string line; std::getline(log, line);) {
        std::istringstream fields(line);
        Served served;
        fields >> served.connection >> served.connectionRequest >> served.status >>
            std::quoted(served.range) >> served.bodyBytes >> served.uri;
        if (served.range == "-") {
            served.range.clear();  // nginx's mark of an empty value
        }
        lines.push_back(served);
    }
    return lines;
}

}  // namespace kvtest
