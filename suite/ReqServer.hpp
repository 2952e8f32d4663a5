// The server side of the request protocol, shared by the suite's stand-in servers: one
// thread, one poll loop over the listening socket, the client connections, any further
// descriptors a server watches (the pipe service) and periodic ticks.
//
// Each message is decoded, checked against the protocol table and handed to the
// handler registered for its request. A client that waits for a reply (the message's
// flag is false) always gets one: the handler's result, or an error for an unknown
// request (status 1), parameters that do not fit (status 2) or a failing handler (its
// own status). A frame that cannot be decoded, is not ended by a line feed or grows
// beyond the message limit closes the connection; the server itself carries on.
// The standard requests of every protocol are answered here.
//
// A client that ends its side of the connection after its requests still gets every
// reply before the server closes. When the process runs out of descriptors the server
// stops accepting for a moment instead of trying again at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "SProtocol.hpp"
#include "SReqObj.hpp"

struct ReqServer_Client {
  int id = 0;  // unique for the life of the server
  int fd = -1;
  std::string peer;  // address in text form
  // The user of the process at the other end when it runs on this machine (found in
  // the kernel's socket table); -1 when it is another machine's or cannot be found.
  int uid = -1;
  // From "CLIENTID".
  std::string host;
  std::string binaryName;
  std::int32_t pid = -1;
  std::int32_t connNo = -1;
  std::int32_t clientType = 0;
  std::int32_t eventMask = 0;
  std::string input;
  std::size_t consumed = 0;  // bytes of input already handled
  std::string output;
  bool inputEnded = false;  // the client will send nothing more
  bool closing = false;
};

// One request being handled.
struct ReqServer_Call {
  ReqServer_Client& client;
  const SProtocol_Request& request;
  const SReqObj& params;  // checked against the request's parameter list
  bool noReply = false;   // the client does not wait for a reply
  // Filled by the handler.
  SReqObj::Elements result;
  std::int32_t status = 0;
  std::string errorText;

  void Fail(std::int32_t s, std::string text) {
    status = s;
    errorText = std::move(text);
  }
};

// Reply statuses of the server itself.
inline constexpr std::int32_t ReqServer_unknownRequest = 1;
inline constexpr std::int32_t ReqServer_badParameters = 2;
inline constexpr std::int32_t ReqServer_failed = 3;

class ReqServer {
 public:
  using Handler = std::function<void(ReqServer_Call&)>;

  explicit ReqServer(const SProtocol& protocol);
  ~ReqServer();
  ReqServer(const ReqServer&) = delete;
  ReqServer& operator=(const ReqServer&) = delete;

  // Listens on port (0: any free port), with loopbackOnly on the loopback interface
  // only. False with a reason when it is taken.
  bool Listen(int port, std::string& error, bool loopbackOnly = false);
  int port() const { return port_; }

  void OnRequest(std::string_view name, int version, Handler handler);
  // Called after a client's connection has gone, before it is forgotten.
  void OnDisconnect(std::function<void(const ReqServer_Client&)> handler);
  // Calls onReadable whenever fd has input.
  void Watch(int fd, std::function<void()> onReadable);
  // Calls tick about every ms milliseconds.
  void Every(int ms, std::function<void()> tick);

  // Serves until Stop (also from a signal handler through RequestStop). False with
  // failure() when waiting for input failed for another reason than a signal.
  bool Run();
  const std::string& failure() const { return failure_; }
  void Stop() { stop_ = true; }
  static void RequestStop();

  // Sends an object to a client on the server's own initiative (events).
  void Send(ReqServer_Client& client, const SReqObj& object);
  const std::list<ReqServer_Client>& clients() const { return clients_; }

  // A debug log: every request and its outcome, one line each. nullptr switches it off.
  void SetLog(std::FILE* log) { log_ = log; }
  std::FILE* log() const { return log_; }
  void Log(const std::string& line);

  // Largest message accepted, in bytes.
  std::size_t maxMessage = std::size_t{1} << 20;
  // How long accepting pauses when no descriptor is left for a new connection.
  int acceptPauseMs = 100;

 private:
  void Accept();
  void ReadFrom(ReqServer_Client& client);
  void Dispatch(ReqServer_Client& client, const SReqObj& message);
  void Reply(ReqServer_Client& client, const SReqObj& reply);
  void Flush(ReqServer_Client& client);
  void HandleStandard(ReqServer_Call& call);
  void Drop(std::list<ReqServer_Client>::iterator client);

  const SProtocol& protocol_;
  int listenFd_ = -1;
  int port_ = -1;
  int nextId_ = 1;
  bool stop_ = false;
  long long acceptPausedUntil_ = 0;
  std::string failure_;
  std::FILE* log_ = nullptr;
  std::list<ReqServer_Client> clients_;
  std::map<std::pair<std::string, int>, Handler> handlers_;
  std::function<void(const ReqServer_Client&)> onDisconnect_;
  std::vector<std::pair<int, std::function<void()>>> watched_;
  struct Ticker {
    int ms;
    std::function<void()> tick;
    long long due;
  };
  std::vector<Ticker> tickers_;
};

// Why the last request loop of this process ended other than by Stop; "" when none did.
const std::string& ReqServer_Failure();

// The user of the local process at the other end of the TCP connection fd; -1 when
// the other end is not on this machine or cannot be found.
int ReqServer_PeerUid(int fd);

void ReqServer_Init();
