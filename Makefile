# The two commands a newcomer needs: `make run` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DLUMBREL_WERROR=ON
endif

.PHONY: all setup configure build programs run test tsan asan format clean

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Only the two programs: a first `make run` need not build every test.
programs: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target lumbrel lumbrel-helper

run: programs
	@$(BUILD_DIR)/app/ui/lumbrel

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Sanitizer builds, each in a folder of its own.
tsan:
	@$(MAKE) test BUILD_DIR=build-tsan BUILD_TYPE=Debug CMAKE_FLAGS="$(CMAKE_FLAGS) -DLUMBREL_TSAN=ON"

asan:
	@$(MAKE) test BUILD_DIR=build-asan BUILD_TYPE=Debug CMAKE_FLAGS="$(CMAKE_FLAGS) -DLUMBREL_ASAN=ON"

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	@rm -rf build build-tsan build-asan
