# Two commands do everything on a fresh Debian machine:
#   make demo   installs what is missing, builds the stubs only, and shows them
#               at work
#   make test   installs what is missing, builds, and runs every test
# `make` (or `make build`) only builds; `make deps` only installs.
BUILD ?= build
JOBS ?= 2

.PHONY: all demo test deps build stubs clean

all: build

deps:
	@scripts/install-deps.sh

build:
	cmake --preset release -B $(BUILD)
	cmake --build $(BUILD) -j$(JOBS)

test: deps
	$(MAKE) build
	scripts/run-tests.sh $(BUILD) $(JOBS)

# The stubs alone, quietly: one line per stub, the compiler's output in
# $(BUILD)/stubs.log (shown when the build fails).
stubs:
	@scripts/build-stubs.sh $(BUILD) $(JOBS)

demo: deps
	@$(MAKE) --no-print-directory stubs
	@scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD)
