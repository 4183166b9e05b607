#include "report.h"

#include <algorithm>
#include <string>

namespace pyxbench {

namespace {

using ull = unsigned long long;

std::string Size(uint64_t bytes) { return SizeText(bytes); }

std::string Count(double v) {
  char buf[32];
  if (v >= 1e6) {
    snprintf(buf, sizeof(buf), "%.2fM", v / 1e6);
  } else if (v >= 1e4) {
    snprintf(buf, sizeof(buf), "%.1fk", v / 1e3);
  } else {
    snprintf(buf, sizeof(buf), "%.0f", v);
  }
  return buf;
}

double Us(uint64_t ns) { return ns / 1000.0; }

// ", 2.31 us per I/O"; without I/O there is no such figure.
std::string PerIoText(double cpu_s, uint64_t ios) {
  if (ios == 0) return ", no figure per I/O (no I/O completed)";
  char buf[48];
  snprintf(buf, sizeof(buf), ", %.2f us per I/O", cpu_s / ios * 1e6);
  return buf;
}

// A JSON number, or null where there is nothing to divide by.
void JsonPerIo(FILE* out, const char* key, double cpu_s, uint64_t ios) {
  if (ios == 0) {
    fprintf(out, "\"%s\": null, ", key);
  } else {
    fprintf(out, "\"%s\": %.3f, ", key, cpu_s / ios * 1e6);
  }
}

void PrintLatency(FILE* out, const Histogram& h) {
  if (h.count() == 0) {
    fprintf(out, "    lat (usec): none (no I/O succeeded)\n");
    return;
  }
  fprintf(out,
          "    lat (usec): p50=%.1f, p90=%.1f, p99=%.1f, p99.9=%.1f, max=%.1f, avg=%.1f\n",
          Us(h.Percentile(0.5)), Us(h.Percentile(0.9)), Us(h.Percentile(0.99)),
          Us(h.Percentile(0.999)), Us(h.max()), h.mean() / 1000.0);
}

// `ios` and `bytes` succeeded, `errors` failed; the rates are of the former.
void PrintDirection(FILE* out, const char* name, uint64_t ios, uint64_t errors, uint64_t bytes,
                    double secs, const Histogram& h) {
  if (ios == 0 && errors == 0) return;
  fprintf(out, "  %-5s: IOPS=%s, BW=%.1fMiB/s, ios=%llu, errors=%llu\n", name,
          Count(ios / secs).c_str(), bytes / secs / (1 << 20), static_cast<ull>(ios),
          static_cast<ull>(errors));
  PrintLatency(out, h);
}

// Figures of no latency at all (nothing succeeded, or nothing was
// measured) are null, as the rates of an unmeasured run are.
void JsonLatency(FILE* out, const char* name, const Histogram& h) {
  if (h.count() == 0) {
    fprintf(out,
            "\"%s\": {\"p50\": null, \"p90\": null, \"p99\": null, \"p99.9\": null, "
            "\"max\": null, \"mean\": null, \"count\": 0}",
            name);
    return;
  }
  fprintf(out,
          "\"%s\": {\"p50\": %.1f, \"p90\": %.1f, \"p99\": %.1f, \"p99.9\": %.1f, "
          "\"max\": %.1f, \"mean\": %.1f, \"count\": %llu}",
          name, Us(h.Percentile(0.5)), Us(h.Percentile(0.9)), Us(h.Percentile(0.99)),
          Us(h.Percentile(0.999)), Us(h.max()), h.mean() / 1000.0, static_cast<ull>(h.count()));
}

std::string JsonEscape(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '"' || c == '\\') {
      r += '\\';
      r += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      r += buf;
    } else {
      r += c;
    }
  }
  return r;
}

// "retcodes=3 delays=1" -> {"retcodes": 3, "delays": 1}
std::string FaultJson(const std::string& text) {
  std::string r = "{";
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    const size_t eq = text.find('=', pos);
    if (eq == std::string::npos) break;
    size_t end = text.find_first_of(" \n", eq);
    if (end == std::string::npos) end = text.size();
    const std::string key = text.substr(pos, eq - pos);
    const std::string value = text.substr(eq + 1, end - eq - 1);
    if (!key.empty() && !value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
      r += (first ? "\"" : ", \"") + JsonEscape(key) + "\": " + value;
      first = false;
    }
    pos = text.find_first_not_of(" \n", end);
    if (pos == std::string::npos) break;
  }
  return r + "}";
}

}  // namespace

bool Report::ChecksClean() const {
  return lost() == 0 && host.double_completions == 0 && totals.verify_errors == 0 &&
         totals.errors == 0 && failures.empty();
}

void PrintSummary(FILE* out, const Report& r) {
  const Options& o = *r.options;
  const Measure& m = r.measure;
  const double secs = std::max(m.seconds(), 1e-9);
  const JobCounts& a = m.start_counts;
  const JobCounts& b = m.end_counts;
  const uint64_t reads = b.reads - a.reads, writes = b.writes - a.writes;
  const uint64_t rbytes = b.read_bytes - a.read_bytes, wbytes = b.write_bytes - a.write_bytes;
  const uint64_t ios = reads + writes;
  const uint64_t rerrors = b.read_errors - a.read_errors;
  const uint64_t werrors = b.write_errors - a.write_errors;
  // CPU is spent on failed I/O as on the rest.
  const uint64_t completed = ios + rerrors + werrors;
  std::string bs = o.bs_min == o.bs_max ? Size(o.bs_min) : Size(o.bs_min) + "-" + Size(o.bs_max);

  if (o.verify_only) {
    fprintf(out, "pyxbench: verify-only");
  } else {
    fprintf(out, "pyxbench: rw=%s", RwName(o.rw));
    if (HasReads(o.rw) && HasWrites(o.rw)) fprintf(out, " (%d%% reads)", o.rwmixread);
  }
  fprintf(out, ", bs=%s, iodepth=%d, numjobs=%d, drivers=%d, crc=%s, verify=%s, size=%s",
          bs.c_str(), o.iodepth, o.numjobs, r.drivers, r.crc_on ? "on" : "off",
          o.verify ? "on" : "off", Size(r.size).c_str());
  if (o.offset != 0) fprintf(out, ", offset=%s", Size(o.offset).c_str());
  if (o.ramp_time_s > 0) fprintf(out, ", ramp_time=%gs", o.ramp_time_s);
  fprintf(out, "\n");
  if (o.verify_only) {
    fprintf(out, "  all  : no rates: --verify-only reads back only\n");
  } else if (!m.measured && o.runtime_s == 0) {
    fprintf(out, "  all  : no rates: --runtime 0 runs the prefill only\n");
  } else if (!m.measured) {
    fprintf(out, "  all  : no rates: the run stopped before its measured span began%s\n",
            o.ramp_time_s > 0 ? " (during the prefill or the ramp)" : " (during the prefill)");
  } else {
    PrintDirection(out, "read", reads, rerrors, rbytes, secs, r.read_lat);
    PrintDirection(out, "write", writes, werrors, wbytes, secs, r.write_lat);
    Histogram all = r.read_lat;
    all.Merge(r.write_lat);
    fprintf(out, "  all  : IOPS=%s, BW=%.1fMiB/s over %.1f s, ios=%llu, errors=%llu\n",
            Count(ios / secs).c_str(), (rbytes + wbytes) / secs / (1 << 20), secs,
            static_cast<ull>(ios), static_cast<ull>(rerrors + werrors));
    PrintLatency(out, all);
  }
  const double cpu = m.cpu_end - m.cpu_start;
  const double lib_cpu = m.lib_cpu_end - m.lib_cpu_start;
  fprintf(out, "  cpu  : driver process %.2f s (user+sys)%s", cpu,
          PerIoText(cpu, completed).c_str());
  fprintf(out, "; library threads %.2f s%s", lib_cpu, PerIoText(lib_cpu, completed).c_str());
  if (r.cluster_died_cpu_s >= 0) {
    fprintf(out, "; cluster process died (%.2f s in all)", r.cluster_died_cpu_s);
  } else if (!o.config.empty()) {
    fprintf(out, "; cluster not measured (--config)");
  } else if (m.sim_cpu_end > 0) {
    fprintf(out, "; cluster process %.2f s", m.sim_cpu_end - m.sim_cpu_start);
  }
  fprintf(out, "\n");
  const uint64_t pieces = m.pieces_end - m.pieces_start;
  const uint64_t waits = m.pending_end - m.pending_start;
  fprintf(out,
          "  queue: %llu of %llu library I/O (%.3f%%) waited in a driver's pending queue "
          "for its next poll (max_flighting reached)\n",
          static_cast<ull>(waits), static_cast<ull>(pieces), pieces ? 100.0 * waits / pieces : 0.0);
  PrintDepthSummary(out, r.depth);
  fprintf(out,
          "  check: errors=%llu, verify_errors=%llu (verified %.1f MiB, never written %.1f MiB, "
          "mismatched %llu blocks), lost=%llu, double_completions=%llu, failed_submissions=%llu\n",
          static_cast<ull>(r.totals.errors), static_cast<ull>(r.totals.verify_errors),
          r.totals.verified_bytes / double(1 << 20),
          r.totals.never_written_bytes / double(1 << 20),
          static_cast<ull>(r.totals.mismatched_blocks), static_cast<ull>(r.lost()),
          static_cast<ull>(r.host.double_completions),
          static_cast<ull>(r.host.failed_submissions));
  fprintf(out, "  memory: peak %.1f MiB resident (verify state %.1f MiB)\n",
          r.max_rss_bytes / double(1 << 20), r.verify_state_bytes / double(1 << 20));
  if (r.totals.unknown_blocks != 0) {
    fprintf(out, "         %llu blocks left unverifiable by failed writes\n",
            static_cast<ull>(r.totals.unknown_blocks));
  }
  if (!m.fault_stats.empty()) {
    std::string f = m.fault_stats;
    while (!f.empty() && f.back() == '\n') f.pop_back();
    fprintf(out, "  faults: %s\n", f.c_str());
  }
  for (const std::string& f : r.failures) fprintf(out, "  failure: %s\n", f.c_str());
  if (!r.stopped.empty()) {
    fprintf(out, "  stopped: %s\n", r.stopped.c_str());
    fprintf(out, "  result: %s; what ran was %s\n", r.given_up ? "GIVEN UP" : "STOPPED",
            r.ChecksClean() ? "clean" : "NOT CLEAN");
  } else if (r.ChecksClean() && r.NothingVerified()) {
    fprintf(out, "  result: NOTHING VERIFIED (no block read held a header of a write)\n");
  } else {
    fprintf(out, "  result: %s\n", r.Clean() ? "clean" : "NOT CLEAN");
  }
}

void PrintJson(FILE* out, const Report& r) {
  const Options& o = *r.options;
  const Measure& m = r.measure;
  const double secs = std::max(m.seconds(), 1e-9);
  const JobCounts& a = m.start_counts;
  const JobCounts& b = m.end_counts;
  const uint64_t reads = b.reads - a.reads, writes = b.writes - a.writes;
  const uint64_t rbytes = b.read_bytes - a.read_bytes, wbytes = b.write_bytes - a.write_bytes;
  const uint64_t bytes = rbytes + wbytes;
  const uint64_t ios = reads + writes;
  const uint64_t rerrors = b.read_errors - a.read_errors;
  const uint64_t werrors = b.write_errors - a.write_errors;
  const uint64_t completed = ios + rerrors + werrors;
  const double cpu = m.cpu_end - m.cpu_start;
  Histogram all = r.read_lat;
  all.Merge(r.write_lat);
  fprintf(out, "{\"rw\": \"%s\", \"rwmixread\": %d, \"bs_min\": %llu, \"bs_max\": %llu, ",
          RwName(o.rw), o.rwmixread, static_cast<ull>(o.bs_min), static_cast<ull>(o.bs_max));
  fprintf(out, "\"blockalign\": %llu, \"size\": %llu, \"offset\": %llu, ",
          static_cast<ull>(o.blockalign), static_cast<ull>(r.size), static_cast<ull>(o.offset));
  fprintf(out, "\"iodepth\": %d, \"numjobs\": %d, \"drivers\": %d, \"crc\": %s, \"verify\": %s, ",
          o.iodepth, o.numjobs, r.drivers, r.crc_on ? "true" : "false",
          o.verify ? "true" : "false");
  fprintf(out, "\"verify_only\": %s, \"verify_state\": ", o.verify_only ? "true" : "false");
  if (o.verify_state.empty()) {
    fprintf(out, "null, ");
  } else {
    fprintf(out, "\"%s\", ", JsonEscape(o.verify_state).c_str());
  }
  fprintf(out, "\"run_id\": %s%s%s, ", r.run_id.empty() ? "null" : "\"", r.run_id.c_str(),
          r.run_id.empty() ? "" : "\"");
  fprintf(out, "\"ramp_time_s\": %.3f, \"measured\": %s, \"runtime_s\": %.3f, \"ios\": %llu, ",
          o.ramp_time_s, m.measured ? "true" : "false", m.measured ? secs : 0.0,
          static_cast<ull>(ios));
  fprintf(out, "\"read_ios\": %llu, \"write_ios\": %llu, ", static_cast<ull>(reads),
          static_cast<ull>(writes));
  // Rates over no measured span are null, never a figure.
  auto rate = [&](const char* key, double v, const char* format) {
    fprintf(out, "\"%s\": ", key);
    if (m.measured) {
      fprintf(out, format, v);
    } else {
      fprintf(out, "null");
    }
    fprintf(out, ", ");
  };
  rate("iops", ios / secs, "%.1f");
  rate("read_iops", reads / secs, "%.1f");
  rate("write_iops", writes / secs, "%.1f");
  rate("bw_mib_s", bytes / secs / (1 << 20), "%.2f");
  rate("read_bw_mib_s", rbytes / secs / (1 << 20), "%.2f");
  rate("write_bw_mib_s", wbytes / secs / (1 << 20), "%.2f");
  // Failed in the measured span, beside the rates of what succeeded.
  fprintf(out, "\"read_errors\": %llu, \"write_errors\": %llu, ", static_cast<ull>(rerrors),
          static_cast<ull>(werrors));
  JsonLatency(out, "lat_us", all);
  fprintf(out, ", ");
  JsonLatency(out, "read_lat_us", r.read_lat);
  fprintf(out, ", ");
  JsonLatency(out, "write_lat_us", r.write_lat);
  fprintf(out, ", \"cpu_s\": %.3f, ", cpu);
  JsonPerIo(out, "cpu_us_per_io", cpu, completed);
  // A cluster given by --config runs in a process pyxbench does not know.
  if (o.config.empty()) {
    fprintf(out, "\"cluster_cpu_s\": %.3f, ", m.sim_cpu_end - m.sim_cpu_start);
  } else {
    fprintf(out, "\"cluster_cpu_s\": null, ");
  }
  const double lib_cpu = m.lib_cpu_end - m.lib_cpu_start;
  fprintf(out, "\"lib_cpu_s\": %.3f, ", lib_cpu);
  JsonPerIo(out, "lib_cpu_us_per_io", lib_cpu, completed);
  fprintf(out,
          "\"errors\": %llu, \"verify_errors\": %llu, \"verified_bytes\": %llu, "
          "\"never_written_bytes\": %llu, \"mismatched_blocks\": %llu, "
          "\"unknown_blocks\": %llu, \"lost\": %llu, \"double_completions\": %llu, "
          "\"failed_submissions\": %llu, ",
          static_cast<ull>(r.totals.errors), static_cast<ull>(r.totals.verify_errors),
          static_cast<ull>(r.totals.verified_bytes),
          static_cast<ull>(r.totals.never_written_bytes),
          static_cast<ull>(r.totals.mismatched_blocks), static_cast<ull>(r.totals.unknown_blocks),
          static_cast<ull>(r.lost()), static_cast<ull>(r.host.double_completions),
          static_cast<ull>(r.host.failed_submissions));
  fprintf(out, "\"max_rss_mib\": %.1f, \"verify_state_mib\": %.1f, ",
          r.max_rss_bytes / double(1 << 20), r.verify_state_bytes / double(1 << 20));
  fprintf(out, "\"library_ios\": %llu, \"pending_waits\": %llu, ",
          static_cast<ull>(m.pieces_end - m.pieces_start),
          static_cast<ull>(m.pending_end - m.pending_start));
  PrintDepthJson(out, r.depth);
  fprintf(out, "\"faults\": %s, \"failures\": [", FaultJson(m.fault_stats).c_str());
  for (size_t i = 0; i < r.failures.size(); ++i) {
    fprintf(out, "%s\"%s\"", i ? ", " : "", JsonEscape(r.failures[i]).c_str());
  }
  fprintf(out, "], \"stopped\": ");
  if (r.stopped.empty()) {
    fprintf(out, "null");
  } else {
    fprintf(out, "\"%s\"", JsonEscape(r.stopped).c_str());
  }
  // `clean` is the whole run's verdict; `checks_clean` what ran, also of a
  // run stopped early (the summary's "STOPPED; what ran was clean").
  fprintf(out, ", \"given_up\": %s, \"nothing_verified\": %s, \"checks_clean\": %s, \"clean\": %s}\n",
          r.given_up ? "true" : "false", r.NothingVerified() ? "true" : "false",
          r.ChecksClean() ? "true" : "false",
          r.Clean() ? "true" : "false");
}

}  // namespace pyxbench
