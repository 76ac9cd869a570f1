# make run   installs what is missing, builds and starts the program.
# make test  installs what is missing, builds and runs every test (also under sanitizers).
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: run test deps build build-asan build-tsan test-main test-asan test-tsan bench clean

run: build
	./$(BUILD)/src/app/orvoswfconverter

test: test-main test-asan test-tsan

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The code below the windows, built with AddressSanitizer and UndefinedBehaviorSanitizer.
build-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=ON -DORVO_BUILD_GUI=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The threaded parts (worker threads, the task list component) with ThreadSanitizer.
TSAN_TESTS := engine_worker_tests component_tests player_tests
build-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DORVO_TSAN=ON -DORVO_BUILD_GUI=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)

test-main: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-tsan: build-tsan
	cd $(TSAN_BUILD) && for t in $(TSAN_TESTS); do \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp ./tests/$$t || exit 1; done

# Figures, not pass/fail: probe open and report times, log sink throughput, and the conversion
# engine against a bare library loop doing the same work.
bench: build
	./$(BUILD)/bench/orvo_bench
	./$(BUILD)/bench/orvo_convert_bench
	./$(BUILD)/bench/orvo_render_bench
	./$(BUILD)/bench/orvo_player_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
