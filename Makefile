# make run   - install what is missing, build, run Procward on the demo servers
# make test  - install what is missing, build, run the whole test suite
# make bench - build and run the benchmarks
# make deb   - build/procward_<version>_amd64.deb and build/procwardd_<version>_amd64.deb
# make screenshot - docs/window.png: the real window with one server down
BUILD := build

.PHONY: all deps build run test bench deb screenshot clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j2

run: build
	@scripts/run-demo.sh $(BUILD)

# The window tests (label gui) run one at a time on a desktop of their own,
# with a window manager and a notification area: some drive the pointer and
# the keyboard.
test: build
	cd $(BUILD) && xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j2 -LE gui
	scripts/desktop-session.sh sh -c 'cd $(BUILD) && ctest --output-on-failure -L gui'

bench: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPROCWARD_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j2
	@scripts/run-bench.sh $(BUILD)

deb: build
	@cmake --build $(BUILD) --target deb

screenshot: build
	@scripts/make-screenshot.sh $(BUILD)

clean:
	rm -rf $(BUILD)
