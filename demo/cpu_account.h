#pragma once
// Where the program's CPU time goes, part by part, for the benchmark. When the environment
// variable MEDIA_DEMO_CPU_ACCOUNT names a file, the program writes there at its end:
//   {"images": N, "process_cpu_s": T, "parts": {"start-up": s, ...}}
// in process CPU time (user + system, every thread), with parts that add up to T. Without
// the variable, nothing is measured.

namespace cpu_account {

enum class Part { Open, Read, Decode, Convert, Encode, Write, Count };

bool enabled();

// The calling thread's CPU time while the scope lives goes to `part`.
class Scope {
public:
    explicit Scope(Part part);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Part part_;
    long long started_ns_;
};

// Runs `step`, its CPU time going to `part`; gives back what it returns.
template <typename Step>
auto measured(Part part, Step step) {
    const Scope scope(part);
    return step();
}

// Called first thing in main: what loading and linking the program cost.
void program_started();
// Called by the worker thread as it finishes: its CPU time in all.
void worker_finished();
// Writes the account, if one was asked for.
void write();
// Counts one image written.
void image_written();

}  // namespace cpu_account
