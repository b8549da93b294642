# The two commands of the README: `make demo` runs the main job, `make test` runs every test.
# Both install what they need first, so they work on a fresh Debian machine.
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test docs demo sanitize tsan fuzz bench format clean

all: build

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake --preset default

build: configure
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(JOBS)

# The API reference of the public headers: build/default/docs/api/html/index.html.
docs: configure
	cmake --build --preset default --target docs

demo: build
	./build/default/apps/tavrenly/tavrenly demo

sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize -j $(JOBS)

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

fuzz: deps
	bash scripts/run-fuzz.sh

bench: build
	bash bench/compare.sh
	bash bench/compare_playback.sh
	bash bench/compare_process.sh

format:
	find apps bench common engine examples fuzz platform player recorder tests tstream2 \
		\( -name '*.h' -o -name '*.cpp' \) -print0 | xargs -0 clang-format -i

clean:
	rm -rf build
