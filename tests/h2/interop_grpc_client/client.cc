// A stock gRPC C++ client (Debian's libgrpc++) calling interop.EchoService
// through the stubs of interop_grpc.proto, for the interoperation tests.
//
//   h2_interop_grpc_client PORT CHECK...
//
// Every CHECK runs in order on one channel (one HTTP/2 connection):
//   echo=N        a call whose request message is N bytes, echoed back whole
//   gzip=N        the same with the request compressed by gzip
//   unknown       a method the server lacks ends UNIMPLEMENTED
//   fail          a failed call brings its status and message to the client,
//                 and the connection still serves the next call
//   concurrent=N  N asynchronous calls open at once; the server answers none
//                 of them before all N have arrived
//   upload=N:S    the same with a payload of S bytes in each request, their
//                 DATA interleaved on the one connection
//   large=N:S     N asynchronous calls open at once, each answered with S
//                 payload bytes once all N have arrived
//   held=N:MS     N asynchronous calls started at once, each held MS
//                 milliseconds by the service: more than the server's stream
//                 limit queue in the client
//   expired=N     a long call held 4 s; 128 calls (the server's stream
//                 limit) held 8 s by the service, each with a 1 s deadline,
//                 end DEADLINE_EXCEEDED; then N ordinary calls at once while
//                 those still run in the service, each answered; then the
//                 long call
//
// Exits 0 when every check passed, else 1 after printing what went wrong.
// It is a program of its own, built without sanitizers: gRPC's threads
// synchronise inside an uninstrumented library, which a sanitized test
// process would misreport.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "interop_grpc.grpc.pb.h"

namespace {

// The deadline of calls meant to be answered: hundreds of MiB through a
// sanitizer build on a busy machine can take minutes.
constexpr int kDeadlineS = 120;

class CheckFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void Expect(bool condition, const std::string& what) {
  if (!condition) throw CheckFailed(what);
}

std::string Describe(const grpc::Status& status) {
  return "status " + std::to_string(status.error_code()) + " (" + status.error_message() + ")";
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return s;
}

class Client {
 public:
  explicit Client(const std::string& port) {
    grpc::ChannelArguments args;
    args.SetMaxReceiveMessageSize(16 << 20);
    args.SetMaxSendMessageSize(16 << 20);
    args.SetInt(GRPC_ARG_ENABLE_HTTP_PROXY, 0);
    channel_ = grpc::CreateCustomChannel("127.0.0.1:" + port, grpc::InsecureChannelCredentials(),
                                         args);
    stub_ = interop_grpc::EchoService::NewStub(channel_);
  }

  void Run(const std::string& check) {
    const size_t eq = check.find('=');
    const std::string name = check.substr(0, eq);
    const size_t value = eq == std::string::npos ? 0 : strtoull(check.c_str() + eq + 1, nullptr, 10);
    if (name == "echo") {
      CheckEcho(value, GRPC_COMPRESS_NONE);
    } else if (name == "gzip") {
      CheckEcho(value, GRPC_COMPRESS_GZIP);
    } else if (name == "unknown") {
      CheckUnknown();
    } else if (name == "fail") {
      CheckFail();
    } else if (name == "concurrent") {
      CheckConcurrent(static_cast<int>(value), 0);
    } else if (name == "expired") {
      CheckExpired(static_cast<int>(value));
    } else if (name == "upload" || name == "large" || name == "held") {
      const size_t colon = check.find(':');
      Expect(colon != std::string::npos, name + "=N:S");
      const size_t second = strtoull(check.c_str() + colon + 1, nullptr, 10);
      if (name == "upload") {
        CheckConcurrent(static_cast<int>(value), second);
      } else if (name == "large") {
        CheckConcurrent(static_cast<int>(value), 0, second);
      } else {
        CheckConcurrent(static_cast<int>(value), 0, 0, static_cast<uint32_t>(second));
      }
    } else {
      throw CheckFailed("unknown check");
    }
  }

 private:
  static void SetDeadline(grpc::ClientContext* context) {
    context->set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(kDeadlineS));
  }

  grpc::Status Echo(const interop::EchoRequest& request, interop::EchoResponse* response,
                    grpc_compression_algorithm compression = GRPC_COMPRESS_NONE) {
    grpc::ClientContext context;
    SetDeadline(&context);
    context.set_compression_algorithm(compression);
    return stub_->Echo(&context, request, response);
  }

  void CheckEcho(size_t size, grpc_compression_algorithm compression) {
    interop::EchoRequest request;
    // A tag byte and the length's varint precede the payload.
    for (size_t payload = size; payload > 0; --payload) {
      request.set_payload(Pattern(payload));
      if (request.ByteSizeLong() <= size) break;
    }
    Expect(request.ByteSizeLong() == size, "no payload makes a message of that size");
    interop::EchoResponse response;
    const grpc::Status status = Echo(request, &response, compression);
    Expect(status.ok(), Describe(status));
    Expect(response.payload_size() == request.payload().size(),
           "server saw " + std::to_string(response.payload_size()) + " payload bytes, sent " +
               std::to_string(request.payload().size()));
    Expect(response.payload() == request.payload(),
           "payload came back as " + std::to_string(response.payload().size()) +
               " bytes, or with other bytes");
  }

  void CheckUnknown() {
    grpc::ClientContext context;
    SetDeadline(&context);
    interop::EchoRequest request;
    request.set_text("nobody serves this");
    interop::EchoResponse response;
    const grpc::Status status = stub_->Missing(&context, request, &response);
    Expect(status.error_code() == grpc::StatusCode::UNIMPLEMENTED,
           Describe(status) + ", wanted UNIMPLEMENTED");
  }

  void CheckFail() {
    interop::EchoRequest request;
    request.set_fail_text("echo failed: 100% on purpose");
    interop::EchoResponse response;
    grpc::Status status = Echo(request, &response);
    Expect(status.error_code() == grpc::StatusCode::INTERNAL, Describe(status) + ", wanted INTERNAL");
    Expect(status.error_message() == request.fail_text(),
           "message \"" + status.error_message() + "\", wanted \"" + request.fail_text() + "\"");
    request.Clear();
    request.set_text("after");
    status = Echo(request, &response);
    Expect(status.ok() && response.text() == "after",
           "the call after the failure: " + Describe(status) + ", text " + response.text());
  }

  // n calls at once: each uploads payload bytes and is answered with
  // answer_bytes (0: its own payload); they are gathered (all answered once
  // all have arrived) unless hold_ms holds each on its own.
  void CheckConcurrent(int n, size_t payload, size_t answer_bytes = 0, uint32_t hold_ms = 0) {
    struct Call {
      grpc::ClientContext context;
      interop::EchoResponse response;
      grpc::Status status;
      std::unique_ptr<grpc::ClientAsyncResponseReader<interop::EchoResponse>> reader;
    };
    grpc::CompletionQueue cq;
    std::vector<std::unique_ptr<Call>> calls;
    for (int i = 0; i < n; ++i) {
      calls.emplace_back(new Call);
      Call* call = calls.back().get();
      SetDeadline(&call->context);
      interop::EchoRequest request;
      request.set_text("call-" + std::to_string(i));
      if (hold_ms > 0) {
        request.set_hold_ms(hold_ms);
      } else {
        request.set_gather(static_cast<uint32_t>(n));
      }
      request.set_answer_bytes(static_cast<uint32_t>(answer_bytes));
      if (payload > 0) request.set_payload(Pattern(payload));
      call->reader = stub_->AsyncEcho(&call->context, request, &cq);
      call->reader->Finish(&call->response, &call->status, call);
    }
    for (int done = 0; done < n; ++done) {
      void* tag = nullptr;
      bool ok = false;
      Expect(cq.Next(&tag, &ok) && ok, "completion queue ended early");
    }
    cq.Shutdown();
    void* tag = nullptr;
    bool ok = false;
    while (cq.Next(&tag, &ok)) {
    }
    int failed = 0;
    std::string first_failure;
    for (int i = 0; i < n; ++i) {
      if (!calls[i]->status.ok()) {
        if (failed++ == 0) first_failure = "call-" + std::to_string(i) + ": " + Describe(calls[i]->status);
      }
    }
    Expect(failed == 0, std::to_string(failed) + " of " + std::to_string(n) +
                            " calls failed, the first " + first_failure);
    for (int i = 0; i < n; ++i) {
      const std::string want = "call-" + std::to_string(i);
      Expect(calls[i]->response.text() == want, want + " answered " + calls[i]->response.text());
      Expect(calls[i]->response.payload_size() == payload,
             want + ": server saw " + std::to_string(calls[i]->response.payload_size()) +
                 " payload bytes, sent " + std::to_string(payload));
      if (answer_bytes > 0) {
        Expect(calls[i]->response.payload().size() == answer_bytes,
               want + ": answered " + std::to_string(calls[i]->response.payload().size()) +
                   " bytes, wanted " + std::to_string(answer_bytes));
      }
    }
  }

  struct AsyncCall {
    grpc::ClientContext context;
    interop::EchoResponse response;
    grpc::Status status;
    std::unique_ptr<grpc::ClientAsyncResponseReader<interop::EchoResponse>> reader;
  };

  void Start(AsyncCall* call, grpc::CompletionQueue* cq, const std::string& text,
             uint32_t hold_ms, std::chrono::milliseconds deadline) {
    call->context.set_deadline(std::chrono::system_clock::now() + deadline);
    interop::EchoRequest request;
    request.set_text(text);
    request.set_hold_ms(hold_ms);
    call->reader = stub_->AsyncEcho(&call->context, request, cq);
    call->reader->Finish(&call->response, &call->status, call);
  }

  // Waits for n completions on cq.
  static void Await(grpc::CompletionQueue* cq, int n) {
    for (int done = 0; done < n; ++done) {
      void* tag = nullptr;
      bool ok = false;
      Expect(cq->Next(&tag, &ok) && ok, "completion queue ended early");
    }
  }

  void CheckExpired(int n) {
    constexpr int kExpiring = 128;
    grpc::CompletionQueue long_cq;
    grpc::CompletionQueue cq;
    AsyncCall long_call;
    Start(&long_call, &long_cq, "long", 4000, std::chrono::seconds(kDeadlineS));
    std::vector<std::unique_ptr<AsyncCall>> expiring;
    for (int i = 0; i < kExpiring; ++i) {
      expiring.emplace_back(new AsyncCall);
      Start(expiring.back().get(), &cq, "expiring-" + std::to_string(i), 8000,
            std::chrono::milliseconds(1000));
    }
    Await(&cq, kExpiring);
    for (int i = 0; i < kExpiring; ++i) {
      Expect(expiring[i]->status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED,
             "expiring-" + std::to_string(i) + ": " + Describe(expiring[i]->status) +
                 ", wanted DEADLINE_EXCEEDED");
    }
    std::vector<std::unique_ptr<AsyncCall>> ordinary;
    for (int i = 0; i < n; ++i) {
      ordinary.emplace_back(new AsyncCall);
      Start(ordinary.back().get(), &cq, "ordinary-" + std::to_string(i), 0,
            std::chrono::seconds(kDeadlineS));
    }
    Await(&cq, n);
    for (int i = 0; i < n; ++i) {
      const std::string want = "ordinary-" + std::to_string(i);
      Expect(ordinary[i]->status.ok(), want + ": " + Describe(ordinary[i]->status));
      Expect(ordinary[i]->response.text() == want,
             want + " answered " + ordinary[i]->response.text());
    }
    Await(&long_cq, 1);
    Expect(long_call.status.ok(), "long: " + Describe(long_call.status));
    Expect(long_call.response.text() == "long", "long answered " + long_call.response.text());
    for (grpc::CompletionQueue* q : {&cq, &long_cq}) {
      q->Shutdown();
      void* tag = nullptr;
      bool ok = false;
      while (q->Next(&tag, &ok)) {
      }
    }
  }

  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<interop_grpc::EchoService::Stub> stub_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s PORT CHECK...\n", argv[0]);
    return 2;
  }
  Client client(argv[1]);
  for (int i = 2; i < argc; ++i) {
    try {
      client.Run(argv[i]);
    } catch (const CheckFailed& failure) {
      printf("%s: %s\n", argv[i], failure.what());
      return 1;
    }
    printf("%s: ok\n", argv[i]);
  }
  return 0;
}
