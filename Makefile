# SPDX-License-Identifier: MIT
# make demo   build quillbar, print the sample label into the virtual printer
#             and leave its picture in demo-output/label.png
#             (or print it for real: make demo PORT=3 DEVICE=/dev/ttyUSB0)
# make test   build with warnings as errors, run every test, then run them
#             again under AddressSanitizer and UndefinedBehaviorSanitizer, run
#             the thread tests under ThreadSanitizer, fuzz, and test the
#             Windows DLL under Wine
# make windows  cross-build quillbar.dll (32- and 64-bit) with mingw-w64
# make bench  measure (not part of the tests)
# make help   every target, one line each
# All install the Debian packages they need when missing.

# How long make test takes, and what it leaves: the last fresh run's, written
# by scripts/figures.py (make figures), stated in the README too.
include scripts/figures.env

PACKAGES := g++ cmake make pkg-config libgtest-dev libfreetype-dev libfontconfig-dev libpng-dev \
            libzint-dev zbar-tools fontconfig fonts-dejavu-core fonts-wqy-zenhei fonts-arphic-uming \
            fonts-arphic-ukai python3 python3-pytest python3-pip python3-venv abigail-tools \
            nlohmann-json3-dev libcairo2-dev poppler-utils libcups2-dev cups cups-client cups-ppdc lprint python3-zxing-cpp python3-pil \
            libmicrohttpd-dev libjs-codemirror chromium chromium-driver python3-selenium curl mono-devel nodejs systemd \
            prometheus-cpp-dev python3-prometheus-client libhttp-parser-dev
PACKAGE_CHECK_TOOLS := lintian man-db file dpkg-dev
FUZZ_TOOLS := clang libclang-rt-14-dev
# The Windows DLL: mingw-w64 (posix threads), Wine for 64- and 32-bit programs
# (the latter on the i386 architecture), a virtual display.
WINDOWS_TOOLS := g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
                 binutils-mingw-w64-x86-64 wine wine64 wine32:i386 xvfb xauth python3 cups libcups2:i386
TEST_PACKAGES := $(PACKAGES) $(PACKAGE_CHECK_TOOLS) $(FUZZ_TOOLS) $(WINDOWS_TOOLS)
JOBS ?= $(shell nproc)
# Nested makes (cmake's) say nothing of the folders they enter.
MAKEFLAGS += --no-print-directory

.PHONY: abi-baseline all deps demo figures help test test-deps test-plan test-release test-package test-sanitize test-tsan fuzz windows test-windows bench clean

# What the library, the tools and the demo need (not the tests').
BUILD_PACKAGES := g++ cmake make pkg-config libfreetype-dev libfontconfig-dev libpng-dev libzint-dev \
                  nlohmann-json3-dev libcairo2-dev libmicrohttpd-dev libjs-codemirror libcups2-dev zlib1g-dev \
                  prometheus-cpp-dev libhttp-parser-dev fontconfig fonts-dejavu-core fonts-wqy-zenhei fonts-arphic-uming fonts-arphic-ukai

all:
	@scripts/ensure-packages.sh $(BUILD_PACKAGES)
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLBAR_TOOLS=ON -DQUILLBAR_TESTS=OFF
	cmake --build build -j$(JOBS)

deps:
	@scripts/ensure-packages.sh $(PACKAGES)

# Without PORT and DEVICE the label goes to the virtual printer and its
# picture to demo-output/label.png.
# DEVICE alone: a USB printer node (/dev/usb/lp*, /dev/lp*) is LPT1, anything
# else COM1 (a serial adapter).
demo: all
ifeq ($(DEVICE),)
	scripts/demo.sh build demo-output
else
	./build/examples/sample_label $(or $(PORT),$(if $(filter /dev/usb/lp% /dev/lp%,$(DEVICE)),1,3)) $(DEVICE)
endif

help:
	@echo "make demo                 build, print the sample label into the virtual printer (demo-output/label.png)"
	@echo "make demo DEVICE=/dev/ttyUSB0 [PORT=3]   print the sample label on a real printer"
	@echo "make all                  build the library and the tools into build/ (installing what they need)"
	@echo "make deps                 install the Debian packages the build and the tests need"
	@echo "make test                 every part below in turn, one summary; logs in test-logs/"
	@echo "make test-plan            say what make test would install, and how long it takes"
	@echo "make test-deps            install what make test needs, in one step"
	@echo "make test-release         the release build and its tests"
	@echo "make test-package         the Debian packages: built twice, linted, installed, used, purged"
	@echo "make test-sanitize        the tests under ASan + UBSan"
	@echo "make test-tsan            the thread tests and the web service under TSan"
	@echo "make fuzz                 the fuzz targets, FUZZ_SECONDS each (60)"
	@echo "make windows              cross-build quillbar.dll (32- and 64-bit)"
	@echo "make test-windows         the DLLs' tests under Wine"
	@echo "make bench                measure (not a test)"
	@echo "make figures              write the last make test's figures into the documents (scripts/figures.py)"
	@echo "make abi-baseline         renew the ABI baseline in abi/ after a meant change"
	@echo "make clean                remove the build folders and the test logs"
	@echo "make help                 this list"

FUZZ_SECONDS ?= 60

# Every part in turn, then one summary; what is missing is installed first,
# in one step.
test:
	@scripts/run-tests.sh test-deps test-release test-package test-sanitize test-tsan fuzz test-windows

# What make test installs, said before it starts, then installed in one step:
# the Debian packages that are missing (and the i386 architecture for Wine),
# and (root only) its own four packages, only for as long as the package
# check runs and only where none of them is installed already.
test-plan:
	@missing="$$(scripts/ensure-packages.sh --missing $(TEST_PACKAGES))"; \
	if [ -n "$$missing" ]; then echo "make test installs: $$missing"; \
	else echo "make test needs no package: everything it uses is installed"; fi
	@dpkg --print-foreign-architectures | grep -qx i386 || echo "  and adds the i386 architecture (for 32-bit Wine)"
	@echo "  and, only while the package check runs, its own libquillbar0 libquillbar-dev quillbar-tools"
	@echo "  python3-quillbar (a copy you installed yourself is left as it is)"
	@echo "  It takes about $(TEST_MINUTES) minutes on two cores and about $(TEST_DISK_GB) GB of disk (two Wine prefixes, 1.3 GB each)."
	@echo "  apt-get also upgrades what those packages need newer versions of; each part's log goes to test-logs/."

test-deps: test-plan
	@scripts/ensure-windows-tools.sh $(TEST_PACKAGES)
	@command -v npm >/dev/null || scripts/ensure-packages.sh npm  # Debian's nodejs comes without it

test-release: deps
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLBAR_WERROR=ON -DQUILLBAR_TOOLS=ON -DQUILLBAR_TESTS=ON
	cmake --build build-test -j$(JOBS)
	cd build-test && ctest -j$(JOBS) --output-on-failure

# The library's ABI against the baseline in abi/ (abidiff), and renewing the
# baseline when a change is meant.
abi-baseline: all
	abidw --no-corpus-path --no-show-locs --drop-private-types --headers-dir build/include \
	  --out-file abi/libquillbar.so.0.abi build/libquillbar.so

# The Debian packages, checked with lintian, installed with dpkg and used
# (root only), leaving any copy the user installed as it was.
test-package: deps
	@scripts/ensure-packages.sh $(PACKAGE_CHECK_TOOLS)
	scripts/check-package.sh build-deb
	scripts/check-package-kept.sh build-deb
	/usr/bin/python3 tests/readme/blocks.py --heavy .

test-sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLBAR_WERROR=ON -DQUILLBAR_SANITIZE=ON -DQUILLBAR_TOOLS=ON \
	  -DQUILLBAR_TESTS=ON
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest -j$(JOBS) --output-on-failure

# Threads, handles, handlers and status under ThreadSanitizer: the tests
# that run calls from several threads at once, on a library built for it;
# and the web service, whose threads serve sockets, render and take the
# printer's labels.
# (Not the cancelled thread: the sanitizer does not follow a cancellation's
# unwinding in a forked child; the shipped library's unwinding test covers it.)
TSAN_TESTS := Threads.*:PrinterHandle.*:SeveralPrinters.*:PrinterStatus.*:PrinterClose.*:MessageHandlers.*:DownPicture.Threads*:-Threads.CancelledThread*
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQUILLBAR_WERROR=ON -DQUILLBAR_TSAN=ON -DQUILLBAR_TOOLS=ON \
	  -DQUILLBAR_TESTS=ON
	cmake --build build-tsan -j$(JOBS) --target quillbar_tests quillbar_printer_tests quillbar-preview \
	  quillbar-preview-web
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/quillbar_tests --gtest_filter='$(TSAN_TESTS)'
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/quillbar_printer_tests --gtest_filter='$(TSAN_TESTS)'
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  /usr/bin/python3 tests/tools/http_service.py build-tsan/tools/quillbar-preview --sanitized

# The virtual printer and the C API on random input for FUZZ_SECONDS each,
# from the committed corpora.
fuzz: deps
	@scripts/ensure-packages.sh $(FUZZ_TOOLS)
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLBAR_FUZZ=ON \
	  -DQUILLBAR_TOOLS=ON -DQUILLBAR_TESTS=OFF
	cmake --build build-fuzz -j$(JOBS) --target fuzz_preview fuzz_api fuzz_answers fuzz_glyph_store
	scripts/fuzz.sh build-fuzz fuzz_preview $(FUZZ_SECONDS)
	scripts/fuzz.sh build-fuzz fuzz_api $(FUZZ_SECONDS)
	scripts/fuzz.sh build-fuzz fuzz_answers $(FUZZ_SECONDS)
	scripts/fuzz.sh build-fuzz fuzz_glyph_store $(FUZZ_SECONDS)

# quillbar.dll, 32- and 64-bit, cross-built with mingw-w64 ...
windows:
	@scripts/ensure-windows-tools.sh $(WINDOWS_TOOLS)
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DQUILLBAR_WERROR=ON
	cmake --build build-win32 -j$(JOBS)
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DQUILLBAR_WERROR=ON
	cmake --build build-win64 -j$(JOBS)

# ... and tested under Wine.
test-windows: windows
	tests/windows/run_wine_tests.sh build-win32 i686
	tests/windows/run_wine_tests.sh build-win64 x86_64

bench: deps
	@scripts/ensure-packages.sh libbenchmark-dev python3-pil libcurl4-openssl-dev
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLBAR_BENCH=ON -DQUILLBAR_TOOLS=ON -DQUILLBAR_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	bench/run.sh build-bench

figures:
	scripts/figures.py update

clean:
	rm -rf build build-test build-deb build-asan build-tsan build-bench build-fuzz build-win32 build-win64 test-logs
