# make run   - install what is missing, build, run Procward on the demo servers
# make test  - install what is missing, build, run the whole test suite
# make bench - build and run the benchmarks (the Windows one under Wine too,
#              when `make windows` has been run)
# make deb   - the Debian packages (debian/, dpkg-buildpackage) in build-deb/:
#              procwardd_<version>_amd64.deb, procward_<version>_amd64.deb and
#              their -dbgsym packages
# make screenshot - docs/window.png: the real window with one server down
# make windows      - cross-build the Windows programs into build-win/
# make windows-installer - build-win/Procward-<version>-setup.exe (NSIS) and
#              build-win/Procward-<version>-win64.zip
# make test-windows - build them and run the Windows tests under Wine
# make check-sanitize - the Linux suite built with AddressSanitizer and
#              UndefinedBehaviorSanitizer, in build-asan/
# make check-tsan - the tests that run threads built with ThreadSanitizer,
#              in build-tsan/
# WERROR=ON (as CI sets it) makes every compiler warning an error.
BUILD := build
WIN_BUILD := build-win
WERROR ?= OFF
WIN_CMAKE := cmake -S . -B $(WIN_BUILD) -DCMAKE_BUILD_TYPE=Release -DPROCWARD_WERROR=$(WERROR) \
	-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	-DPROCWARD_WIN_DEPS=$(CURDIR)/$(WIN_BUILD)/deps.cmake

.PHONY: all deps build run test bench deb screenshot clean windows-deps windows windows-installer test-windows bench-windows \
	check-sanitize check-tsan

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPROCWARD_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j2

run: build
	@scripts/run-demo.sh $(BUILD)

# The window tests (label gui) run one at a time on a desktop of their own,
# with a window manager and a notification area: some drive the pointer and
# the keyboard.
test: build
	@scripts/install-test-servers.sh
	cd $(BUILD) && xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j2 -LE gui
	scripts/desktop-session.sh sh -c 'cd $(BUILD) && ctest --output-on-failure -L gui'

bench: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPROCWARD_WERROR=$(WERROR) -DPROCWARD_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j2
	@scripts/run-bench.sh $(BUILD)
	@if [ -f $(WIN_BUILD)/deps.cmake ]; then $(MAKE) --no-print-directory bench-windows; fi

windows-deps: deps
	@scripts/install-windows-deps.sh
	@mkdir -p $(WIN_BUILD)
	@scripts/build-windows-libs.sh . $(WIN_BUILD)/deps.cmake

windows: windows-deps
	@$(WIN_CMAKE) >/dev/null
	@cmake --build $(WIN_BUILD) -j2 --target procward procwardd procward_metrics procward-testserver procward_win_tests

windows-installer: windows
	@cmake --build $(WIN_BUILD) -j2 --target windows-installer windows-zip

test-windows: windows-installer
	scripts/test-windows.sh $(WIN_BUILD)
	scripts/test-windows-installer.sh $(WIN_BUILD)

# The sanitizer builds live in directories of their own (their objects differ
# from the normal build's); scripts/check-sanitizers.sh fails on any report.
check-sanitize: deps
	PROCWARD_WERROR=$(WERROR) scripts/check-sanitizers.sh address

check-tsan: deps
	PROCWARD_WERROR=$(WERROR) scripts/check-sanitizers.sh thread

bench-windows: windows-deps
	@$(WIN_CMAKE) -DPROCWARD_BUILD_BENCH=ON >/dev/null
	@cmake --build $(WIN_BUILD) -j2 --target procward_bench procward-testserver
	@cd $(WIN_BUILD) && WINEDEBUG=-all WINEPREFIX=$(CURDIR)/$(WIN_BUILD)/wineprefix \
		wine procward_bench.exe --benchmark_counters_tabular=true

deb: deps
	@scripts/build-debs.sh build-deb

screenshot: build
	@scripts/make-screenshot.sh $(BUILD)
	@scripts/make-screenshot.sh $(BUILD) 1366x768
	@scripts/make-screenshot.sh $(BUILD) 1920x1080

clean:
	rm -rf $(BUILD) $(WIN_BUILD) build-asan build-tsan build-deb
