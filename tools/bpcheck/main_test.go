package main

import (
	"os"
	"path/filepath"
	"reflect"
	"strings"
	"testing"
)

func write(t *testing.T, text string) string {
	t.Helper()
	path := filepath.Join(t.TempDir(), "Android.bp")
	if err := os.WriteFile(path, []byte(text), 0o644); err != nil {
		t.Fatal(err)
	}
	return path
}

// The module types and properties the tree's Android.bp uses pass: a checker that
// refused everything would make the refusals below worthless.
func TestAcceptsTheTreesKindOfModules(t *testing.T) {
	errs := check([]string{write(t, `
cc_defaults {
    name: "d",
    cpp_std: "c++17",
    cflags: ["-Wall", "-DHOST=\"h\""],
    local_include_dirs: ["config"],
    recovery_available: true,
}
cc_library_static {
    name: "libx",
    defaults: ["d"],
    srcs: ["x.cpp"],
    static_libs: ["liby"],
    shared_libs: ["libbase"],
}
cc_binary {
    name: "b",
    defaults: ["d"],
    srcs: ["b.cpp"],
    static_libs: ["libx"],
    init_rc: ["b.rc"],
}
`)})
	if len(errs) != 0 {
		t.Fatalf("errors for a valid file: %v", errs)
	}
}

func TestRefusals(t *testing.T) {
	cases := []struct {
		name, text, want string
	}{
		{"unknown property", `cc_binary { name: "b", srcss: ["b.cpp"] }`,
			`unrecognized property "srcss"`},
		{"unknown module type", `cc_frobnicate { name: "f" }`,
			`unrecognized module type "cc_frobnicate"`},
		{"string for a list", `cc_binary { name: "b", cflags: "-Wall" }`,
			`can't assign string value to list property "cflags"`},
		{"list for a bool", `cc_binary { name: "b", recovery_available: ["yes"] }`,
			`recovery_available`},
		{"newer than Android 10", `cc_binary { name: "b", apex_available: ["x"] }`,
			`property "apex_available" is newer than Android 10`},
		{"syntax", `cc_binary { name: "b" srcs: [] }`, `expected`},
	}
	for _, c := range cases {
		t.Run(c.name, func(t *testing.T) {
			errs := check([]string{write(t, c.text)})
			if len(errs) == 0 {
				t.Fatalf("no error for %s", c.text)
			}
			var all []string
			for _, err := range errs {
				all = append(all, err.Error())
			}
			if !strings.Contains(strings.Join(all, "\n"), c.want) {
				t.Fatalf("errors %q do not say %q", all, c.want)
			}
		})
	}
}

// tools/android-check.sh compiles with what this prints: the values as Soong hands them
// to the compiler, variables and concatenations evaluated, escapes undone.
func TestListPropertyEvaluates(t *testing.T) {
	file := write(t, `
common = ["a.cpp"]
cc_defaults { name: "d", cflags: ["-DHOST=\"h.test\""] }
cc_binary { name: "b", srcs: common + ["b.cpp"], defaults: ["d"] }
cc_binary { name: "c" }
`)
	got, errs := listProperty("srcs", []string{file})
	want := []entry{{"b", "a.cpp"}, {"b", "b.cpp"}}
	if len(errs) != 0 || !reflect.DeepEqual(got, want) {
		t.Fatalf("srcs: %v %v, want %v", got, errs, want)
	}
	got, errs = listProperty("cflags", []string{file})
	want = []entry{{"d", `-DHOST="h.test"`}}
	if len(errs) != 0 || !reflect.DeepEqual(got, want) {
		t.Fatalf("cflags: %v %v, want %v", got, errs, want)
	}
	if _, errs = listProperty("name", []string{file}); len(errs) == 0 {
		t.Fatal("a property that is no list was listed without an error")
	}
}
