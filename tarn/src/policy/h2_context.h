// The HTTP/2 state of one server connection and of each of its streams.
//
// H2Context reads frames from the connection's input one at a time
// (Consume), answers the connection-level frames itself (SETTINGS, PING,
// WINDOW_UPDATE, GOAWAY) and keeps every stream the client opened until its
// response has been written completely or it was reset. A stream whose
// request is complete comes back from Consume; the gRPC layer serves it and
// hands its answer to SendResponse or SendTrailersOnly.
//
// Stream lifecycle:
//   kReceiving   HEADERS opened it; header block and DATA arrive
//   kProcessing  the request is complete and its call is running; the
//                controller keeps the connection (and so this context) alive
//   kSending     the response waits for flow-control credit
// A client's RST_STREAM deletes a stream at once, except while its call runs:
// then it leaves the streams (and their count) at once, marked reset, and
// its context goes when the call completes. While kH2MaxResetCallsRunning
// such calls run, the connection reads nothing more.
//
// Header blocks are decoded whole and in order, also those of refused or
// closed streams, so that the decoder stays in step with the client; a block
// must not be interleaved with any other frame.
//
// Flow control: received DATA is granted back to the client at connection
// level on the connection's own count, whatever the streams do, and at
// stream level on each stream's count. Everything the server writes goes
// through one bound on the connection's unsent output. Response DATA is
// framed a little ahead of the socket (kH2ResponseOutputBytes); the rest of
// an answer waits in its stream.
//
// Held answers: every answer byte built and not yet framed is held, whatever
// the windows. While they reach kH2MaxHeldResponseBytes, complete requests
// are parked, in order, and their calls made once what is held has fallen
// below it again (as the client takes its answers); so the connection holds
// at most the bound plus the answers of calls already running, and a reader
// is paced by what it takes, never refused for it. Whether the client takes
// anything is judged apart (H2Progress, tarn/policy/h2_bounds.h): after a
// progress span without it, more than the bound held in several answers
// closes the connection, as does the stalled-answer timeout.
//
// Owned by the connection (Connection::h2_context); loop thread only.
#ifndef TARN_SRC_POLICY_H2_CONTEXT_H_
#define TARN_SRC_POLICY_H2_CONTEXT_H_

#include <google/protobuf/stubs/callback.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brpc/details/hpack.h"
#include "brpc/http2.h"
#include "brpc/http_header.h"
#include "tarn/policy/h2_proto.h"

namespace tarn {

class Connection;
class H2Context;
class RpcController;

// What a frame handler reports: a completed request (error NO_ERROR with a
// stream), a stream error (an error with stream_id > 0, answered with
// RST_STREAM) or a connection error (stream_id 0, answered with GOAWAY).
struct H2ParseResult {
  H2StreamContext* stream = nullptr;
  H2Error error = H2_NO_ERROR;
  int32_t stream_id = 0;
  // A stream error the client could not have avoided (a stream refused
  // before it saw the stream limit): not counted as a frame without
  // progress.
  bool uncounted = false;

  static H2ParseResult Ok() { return H2ParseResult(); }
  static H2ParseResult Done(H2StreamContext* s) {
    H2ParseResult r;
    r.stream = s;
    return r;
  }
  static H2ParseResult StreamError(int32_t id, H2Error e) {
    H2ParseResult r;
    r.error = e;
    r.stream_id = id;
    return r;
  }
  static H2ParseResult ConnError(H2Error e) { return StreamError(0, e); }
  bool ok() const { return error == H2_NO_ERROR; }
};

class H2StreamContext {
 public:
  enum State { kReceiving, kProcessing, kSending };

  // The call's done closure; runs H2Proto::Response for this stream. Lives
  // inside the stream, which outlives the call.
  class Done final : public google::protobuf::Closure {
   public:
    explicit Done(H2StreamContext* stream) : stream_(stream) {}
    void Run() override;

   private:
    H2StreamContext* stream_;
  };

  H2StreamContext(H2Context* conn_ctx, H2Proto* proto);
  // Makes a recycled stream new for stream id.
  void Reset(int32_t id, int64_t send_window);

  H2Context* conn_ctx() const { return conn_ctx_; }
  H2Proto* proto() const { return proto_; }
  int32_t stream_id() const { return stream_id_; }
  State state() const { return state_; }
  bool reset() const { return reset_; }

  // The request as received.
  brpc::HttpHeader& header() { return header_; }
  std::string& body() { return body_; }

  // The running call.
  RpcController* controller() const { return ctrl_; }
  void set_controller(RpcController* ctrl) { ctrl_ = ctrl; }
  google::protobuf::Closure* done() { return &done_; }

 private:
  friend class H2Context;

  H2Context* conn_ctx_;
  H2Proto* proto_;
  int32_t stream_id_ = 0;
  State state_ = kReceiving;
  // The client reset the stream (or broke it) while its call runs.
  bool reset_ = false;
  // This stream's send window, as the client granted it.
  int64_t remote_window_left_ = 0;
  // The request is complete and waits for room under the held bound before
  // its call is made (see H2Context::ParkRequest).
  bool request_parked_ = false;
  // Received bytes of this stream not yet granted back (stream level; the
  // connection's share is granted with them).
  int64_t deferred_window_update_ = 0;
  brpc::HttpHeader header_;
  std::string body_;
  RpcController* ctrl_ = nullptr;
  Done done_;
  // Capacity of the buffers a recycled stream keeps.
  size_t KeptBytes() const {
    return body_.capacity() + pending_.capacity() + pending_message_.capacity() +
           header_.capacity();
  }
  // A response waiting for credit: the DATA bytes still to send (from
  // pending_off_), then trailers built from the status and message when they
  // leave (header blocks must be encoded in the order they are sent).
  std::string pending_;
  size_t pending_off_ = 0;
  int pending_status_ = 0;
  std::string pending_message_;
};

// What one connection holds for its client (see H2Context::Footprint).
struct H2Footprint {
  size_t unsent_output = 0;      // queued on the connection, not yet written
  size_t held_answers = 0;       // response bytes built and not yet framed
  size_t peak_answers = 0;       // the most held_answers ever reached, at any moment
  size_t waiting_on_client = 0;  // all of them while the client is judged to take nothing
  size_t parked_requests = 0;    // complete requests waiting for room under the bound
  size_t buffered_requests = 0;  // request body bytes of receiving streams and parked requests
  size_t decoded_headers = 0;    // request header bytes kept by streams and reset calls
  size_t retained = 0;           // capacity kept by scratch buffers and recycled streams
  size_t streams = 0;            // streams not yet forgotten
  size_t reset_calls = 0;        // calls still running for reset streams
  bool input_paused = false;     // reading stopped until a reset call ends
  uint32_t unproductive_frames = 0;
};

class H2Context final : private brpc::HPackSink {
 public:
  // Consume results besides BaseProto's: a frame was consumed.
  static constexpr int kFrameConsumed = 0;

  H2Context(Connection* conn, H2Proto* proto);
  ~H2Context();
  H2Context(const H2Context&) = delete;
  H2Context& operator=(const H2Context&) = delete;

  // Creates the header tables; 0 or -1.
  int Init();

  // Reads at most one frame (or the preface) from the start of the
  // connection's input and consumes it. kFrameConsumed (with *completed set
  // when a request became complete), BaseProto::kNeedMore,
  // BaseProto::kNotThisProto (no preface) or BaseProto::kFatal (a GOAWAY has
  // been queued, or a write failed; nothing more may be read).
  int Consume(H2StreamContext** completed);
  bool failed() const { return failed_; }

  // Writes the response of a processing stream: ":status" 200, the content
  // type, the body as DATA (as far as the windows allow; the rest when
  // credit comes) and trailers with grpc_status and, when not empty, the
  // percent-encoded message. Takes the body's bytes (leaving *body empty,
  // possibly with a buffer of the stream's to reuse).
  // The stream is done with once the response has left; what waits of it
  // meanwhile is held (see ParkRequest).
  void SendResponse(H2StreamContext* s, std::string_view content_type, std::string* body,
                    int grpc_status, std::string_view message);
  // A buffer to serialise an answer's body in, with the capacity earlier
  // answers left (so small answers allocate nothing), and its return once
  // SendResponse has taken the bytes (a buffer above the kept size is
  // freed instead).
  void TakeAnswerBuffer(std::string* body);
  void GiveAnswerBuffer(std::string* body);
  // An answer without a body: one HEADERS frame with ":status" 200, the
  // content type, "grpc-status" and "grpc-message", ending the stream.
  void SendTrailersOnly(H2StreamContext* s, std::string_view content_type, int grpc_status,
                        std::string_view message);
  // The call of a processing stream ended without an answer to write (the
  // stream was reset, or the connection is closing): forget the stream.
  void DropStream(H2StreamContext* s);

  // The connection's output has all been written: answers waiting for
  // room go on, and the calls parked for the held bound are made while
  // there is room under it.
  void OnOutputDrained();

  // A request became complete: true when it was set aside, because the
  // answers held reach kH2MaxHeldResponseBytes (or requests parked before
  // it still wait); its call is made by ServeParkedRequests once they have
  // fallen below it. So a connection never builds more answers than the
  // bound while those it holds wait, whatever its windows. Not while the
  // server stops: the request is then refused where it is made.
  bool ParkRequest(H2StreamContext* s);
  // Makes the calls of the parked requests while what is held is below the
  // bound. The protocol calls it after every frame (a window update or a
  // reset may have let answers go); the context itself when output drained.
  void ServeParkedRequests();

  // The server stops admitting calls: GOAWAY (NO_ERROR) naming the last
  // stream the client opened, once, so that it opens no more here, and the
  // parked requests are refused (RST_STREAM REFUSED_STREAM). The
  // connection is read on (window updates, pings) until the server closes
  // it.
  void GoAwayForStop();
  // A complete request the server no longer admits: RST_STREAM
  // (REFUSED_STREAM), which tells the client it was not processed and may
  // be sent again; the stream is forgotten.
  void RefuseStream(H2StreamContext* s);
  // Nothing the client still takes waits here: no answer waits for its
  // windows or for room, and the socket has no output left that the
  // client's kernel has not acknowledged. A client judged stalled (it took
  // nothing of what waits for a progress span) is not waited for, nor is a
  // failed connection.
  bool Settled() const;

  Connection* connection() const { return conn_; }
  // Reading stopped while kH2MaxResetCallsRunning calls of reset streams
  // run; nothing more may be consumed until one ends.
  bool input_paused() const { return input_paused_; }
  size_t stream_count() const { return streams_.size(); }
  // Loop thread.
  H2Footprint Footprint() const;

 private:
  // The header block being received: HEADERS without END_HEADERS is
  // followed by CONTINUATION frames of the same stream and nothing else.
  struct HeaderBlock {
    int32_t stream_id = 0;             // 0: no block open
    H2StreamContext* target = nullptr;  // null: decoded and discarded
    bool end_stream = false;
    bool trailers = false;              // a second block on a receiving stream
    size_t block_bytes = 0;
    size_t frames = 0;                  // HEADERS and CONTINUATION so far
    size_t list_bytes = 0;
    H2Error reject = H2_NO_ERROR;       // answer the stream with this at the end
    bool uncounted = false;             // the reject is not held against the client
  };

  int ConsumePreface();
  int ConsumeFrame(H2StreamContext** completed);
  // Runs the handler of one frame whose payload starts 9 bytes into the
  // input.
  H2ParseResult Dispatch(const H2FrameHead& head);
  H2ParseResult OnData(const H2FrameHead& head);
  H2ParseResult OnHeaders(const H2FrameHead& head);
  H2ParseResult OnPriority(const H2FrameHead& head);
  H2ParseResult OnResetStream(const H2FrameHead& head);
  H2ParseResult OnSettings(const H2FrameHead& head);
  H2ParseResult OnPushPromise(const H2FrameHead& head);
  H2ParseResult OnPing(const H2FrameHead& head);
  H2ParseResult OnGoAway(const H2FrameHead& head);
  H2ParseResult OnWindowUpdate(const H2FrameHead& head);
  H2ParseResult OnContinuation(const H2FrameHead& head);
  // Feeds a header-block fragment to the decoder; at END_HEADERS finishes
  // the block.
  H2ParseResult OnHeaderFragment(const char* data, size_t len, bool end_headers);
  H2ParseResult FinishHeaderBlock();

  // brpc::HPackSink: one decoded field of the open block.
  void OnHeader(std::string_view name, std::string_view value) override;

  // Copies the payload of the current frame into payload_.
  bool ReadPayload(uint32_t size);
  // Counts received DATA bytes against the windows and grants credit back
  // when half a window has been used (s null: the connection's only).
  H2ParseResult AccountData(H2StreamContext* s, int64_t n);
  // Grants the connection's received bytes back once they reach the
  // threshold (or at all, with force).
  void GrantConnection(bool force);
  // Counts a frame that made no progress; false past the limit.
  bool CountUnproductive();

  H2StreamContext* FindStream(int32_t id);
  H2StreamContext* NewStream(int32_t id);
  // Removes the stream from the map and recycles it; its ungranted bytes
  // move to the connection.
  void DeleteStream(H2StreamContext* s);
  // A processing stream was reset: it leaves the streams at once, and its
  // context waits in reset_calls_ for its call to end.
  void ParkResetCall(H2StreamContext* s);
  // A stream error: RST_STREAM, and the stream is forgotten (or marked
  // reset while its call runs).
  int ResetStream(int32_t id, H2Error error, bool counted = true);
  // A connection error: GOAWAY; the context fails. The GOAWAY says
  // ENHANCE_YOUR_CALM instead when the client let the output run over.
  int GoAway(H2Error error);
  // Outside frame parsing: GOAWAY and close the connection.
  void Abandon(H2Error error);

  // Frames the response parts of stream s into out_.
  void AppendHeaderBlock(int32_t id, const std::string& block, bool end_stream);
  bool EncodeHeaders(std::string* block, std::string_view content_type, bool with_status,
                     int grpc_status, std::string_view message);
  // Sends what the windows allow of s's pending DATA, then its trailers.
  // True when the response is complete.
  bool PackH2Message(H2StreamContext* s);
  // Frames what the windows and the output room allow of every waiting
  // response and sends it; goes on while the socket takes everything at
  // once.
  void FlushBlocked();
  // Bytes of response DATA that may be framed now without passing
  // kH2ResponseOutputBytes.
  int64_t ResponseRoom() const;
  // Answer bytes the client has taken from the socket (counted up to the
  // last response DATA handed to the connection, so control frames sent
  // after it are not progress), less the DATA frames that were trickles.
  uint64_t AnswerBytesTaken() const;
  // Answer bytes the client has yet to take: waiting here, queued, or in
  // the socket.
  uint64_t AnswerBytesOutstanding() const;
  // The timer that watches held answers: every check interval it notes
  // whether the client took an answer byte; the client is stalled once it
  // has taken none for the progress span, and the connection is closed
  // when it has taken none for the stalled-answer timeout.
  void ArmHeldCheck();
  void OnHeldCheck();
  // A frame of stream_id (0: of some blocked stream) begins to wait for
  // connection window; once it has waited a held-check interval, slivers
  // may go (see PackH2Message).
  void BeginConnWindowWait(int32_t stream_id);
  void ArmConnWindowTimer(double seconds);
  void OnConnWindowTimer();
  // A stream this end reset: frames the client sent before it saw the
  // RST_STREAM are ignored.
  void RememberReset(int32_t id);
  bool WasReset(int32_t id) const;
  void AppendWindowUpdate(int32_t id, int64_t increment);
  // Makes room in out_ for n more bytes, growing it no further than the
  // scratch size that is kept.
  void ReserveOut(size_t n);
  // Sends out_ and empties it; false when the connection refused it (the
  // connection is then closed).
  bool SendOut();
  // Queues bytes within kH2MaxUnsentOutput; false (and overflowed_ set)
  // past it, or when the connection refused them.
  bool SendBytes(const char* data, size_t len);
  // SendBytes of the pieces' concatenation (len bytes), in one gather send.
  bool SendPieces(const struct iovec* pieces, int count, size_t len);

  Connection* conn_;
  H2Proto* proto_;
  // The connection-level send window the client granted.
  int64_t remote_window_left_ = brpc::H2Settings::DEFAULT_INITIAL_WINDOW_SIZE;
  int conn_state_ = 0;  // 0 waiting for the preface, 1 ready
  int32_t last_received_stream_id_ = -1;
  brpc::H2Settings remote_settings_;
  bool remote_settings_received_ = false;
  brpc::H2Settings local_settings_;
  brpc::H2Settings unack_local_settings_;
  brpc::HPacker hpacker_;
  // Every received DATA byte not yet granted back at connection level.
  int64_t conn_unacked_ = 0;
  // Request bodies held by receiving streams.
  size_t buffered_body_bytes_ = 0;
  // Response bytes of sending streams not yet framed: the held answers.
  size_t held_response_bytes_ = 0;
  // Frames without progress since the last answered call, counted within
  // the window that began at unproductive_since_.
  uint32_t unproductive_frames_ = 0;
  std::chrono::steady_clock::time_point unproductive_since_;
  // Bytes handed to the connection so far, and that count just after the
  // last response DATA was handed.
  uint64_t handed_ = 0;
  uint64_t data_handed_ = 0;
  // Bytes of DATA frames that a window cut to a trickle: not progress.
  uint64_t trickle_framed_ = 0;
  // A frame waits for more connection window than the sliver left
  // (PackH2Message): since when, and of which stream. A client may keep
  // most of its connection window unreturned for good: once the wait has
  // lasted a whole check interval without an update, slivers go out (as
  // trickles) until that window is past kH2TrickleFrameBytes again. Every
  // wait is timed from its own start.
  bool conn_window_wait_ = false;
  int32_t conn_window_waiter_ = 0;
  std::chrono::steady_clock::time_point conn_window_wait_since_;
  bool conn_wait_timer_armed_ = false;
  bool conn_slivers_allowed_ = false;
  // The held-answer check, and whether the client took nothing during the
  // last progress span.
  bool check_armed_ = false;
  H2Progress progress_;
  bool client_stalled_ = false;
  // Complete requests waiting for room under the held bound, in arrival
  // order (at most kH2MaxOpenStreams: they stay among the streams), and
  // whether ServeParkedRequests runs.
  std::vector<H2StreamContext*> parked_;
  bool serving_parked_ = false;
  // The most answer bytes held at once.
  size_t peak_answers_ = 0;
  // The client acknowledged the server's SETTINGS (and so knows its stream
  // limit); streams refused before that are not held against it, up to a
  // bound.
  bool settings_acked_ = false;
  uint32_t early_refusals_ = 0;
  // Streams this end reset lately (a ring): what the client sent on them
  // before it saw the RST_STREAM is ignored.
  static constexpr size_t kRememberedResets = 256;
  int32_t reset_ids_[kRememberedResets] = {};
  size_t reset_next_ = 0;
  // The client made the server queue more than kH2MaxUnsentOutput.
  bool overflowed_ = false;
  // GOAWAY sent for the server's stop.
  bool going_away_ = false;
  // Every stream not yet forgotten, by id; at most kH2MaxOpenStreams, so a
  // flat list searched in place costs less than a hash map's nodes.
  std::vector<std::pair<int32_t, H2StreamContext*>> streams_;
  std::vector<H2StreamContext*> free_streams_;
  size_t free_stream_bytes_ = 0;  // buffer capacity the recycled streams keep
  std::string answer_buffer_;     // see TakeAnswerBuffer
  // Streams reset while their call runs: out of streams_, kept until the
  // call ends; and whether reading is stopped for their number.
  std::vector<H2StreamContext*> reset_calls_;
  bool input_paused_ = false;
  // Streams with a response waiting for credit or room, in arrival order.
  std::vector<int32_t> blocked_;
  // Response DATA bytes framed so far; out_ holds some of them.
  uint64_t data_framed_ = 0;
  bool out_has_data_ = false;
  HeaderBlock block_;
  bool failed_ = false;
  std::string payload_;
  std::string out_;
  // Large response DATA payloads go out from their stream's buffer, not
  // copied into out_: len bytes at data follow the first `at` bytes of
  // out_. Their streams are not deleted before SendOut hands them on.
  struct OutRef {
    size_t at;
    const char* data;
    size_t len;
  };
  std::vector<OutRef> out_refs_;
  size_t out_ref_bytes_ = 0;
  std::vector<struct iovec> out_pieces_;  // SendOut's gather list (kept)
  std::string block_buffer_;
};

// Deletes a context; the deleter a connection keeps with its pointer.
void DeleteH2Context(H2Context* ctx);

// The 31-bit window check: false when window + delta leaves the range a
// flow-control window may take.
bool AddWindow(int64_t* window, int64_t delta);

// Parses a SETTINGS payload into *out (entries not present keep their
// values). False on a malformed payload or value.
bool ParseH2Settings(brpc::H2Settings* out, const char* data, size_t len);
// Serialises the entries of s that differ from the protocol's defaults
// (ENABLE_PUSH always, as 0 when push is off); returns the bytes written
// (at most 36).
size_t SerializeH2Settings(const brpc::H2Settings& s, char* out);

}  // namespace tarn

#endif  // TARN_SRC_POLICY_H2_CONTEXT_H_
