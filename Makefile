# make run   - install what is missing, build, run Procward on the demo servers
# make test  - install what is missing, build, run the whole test suite
# make bench - build and run the benchmarks
BUILD := build

.PHONY: all deps build run test bench clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j2

run: build
	@scripts/run-demo.sh $(BUILD)

test: build
	cd $(BUILD) && xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j2

bench: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPROCWARD_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j2
	@scripts/run-bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
