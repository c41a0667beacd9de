// bpcheck reads Android.bp files the way the platform build does, with Soong's own module
// types, and reports what Soong would refuse while reading them: an unknown module type,
// an unknown property, a value of the wrong type. It builds nothing and resolves no
// dependency (the platform's modules are not here).
//
//	bpcheck FILE...                check the files; exit status 1 on any error
//	bpcheck -print PROPERTY FILE... print that list property of every module, one value
//	                               a line, as "module<TAB>value" (for tools/android-check.sh)
//
// The library is Debian's snapshot of Soong, newer than Android 10, the release the tree
// targets: a few properties it accepts are refused here as Android 10 has none of them.
package main

import (
	"flag"
	"fmt"
	"os"
	"path/filepath"
	"sort"

	"android/soong/android"
	_ "android/soong/cc"
	_ "android/soong/etc"
	_ "android/soong/genrule"

	"github.com/google/blueprint"
	"github.com/google/blueprint/parser"
)

// Properties that came after Android 10 and that this library already knows.
var newerThanAndroid10 = map[string]bool{
	"apex_available":           true,
	"ramdisk_available":        true,
	"vendor_ramdisk_available": true,
}

func check(files []string) []error {
	ctx := blueprint.NewContext()
	factories := android.ModuleTypeFactories()
	names := make([]string, 0, len(factories))
	for name := range factories {
		names = append(names, name)
	}
	sort.Strings(names)
	for _, name := range names {
		ctx.RegisterModuleType(name, android.ModuleFactoryAdaptor(factories[name]))
	}
	var errs []error
	for _, file := range files {
		f, parseErrs := parse(file)
		if len(parseErrs) > 0 {
			// Soong's reading would stop at the same syntax errors.
			errs = append(errs, parseErrs...)
			continue
		}
		errs = append(errs, tooNew(f)...)
		// Each file alone: ParseFileList would also follow the subdirs of a Blueprints file.
		abs, err := filepath.Abs(file)
		if err != nil {
			errs = append(errs, err)
			continue
		}
		_, soongErrs := ctx.ParseFileList(filepath.Dir(abs), []string{abs}, nil)
		errs = append(errs, soongErrs...)
	}
	return errs
}

// tooNew reports the properties Android 10 would refuse, at any depth of a module.
func tooNew(f *parser.File) []error {
	var errs []error
	var walk func(pos string, props []*parser.Property)
	walk = func(module string, props []*parser.Property) {
		for _, p := range props {
			if newerThanAndroid10[p.Name] {
				errs = append(errs, fmt.Errorf("%s: module %q: property %q is newer than Android 10",
					p.NamePos, module, p.Name))
			}
			if m, ok := p.Value.Eval().(*parser.Map); ok {
				walk(module, m.Properties)
			}
		}
	}
	for _, def := range f.Defs {
		if m, ok := def.(*parser.Module); ok {
			walk(moduleName(m), m.Properties)
		}
	}
	return errs
}

func parse(file string) (*parser.File, []error) {
	r, err := os.Open(file)
	if err != nil {
		return nil, []error{err}
	}
	defer r.Close()
	return parser.ParseAndEval(file, r, parser.NewScope(nil))
}

func moduleName(m *parser.Module) string {
	if p, ok := m.GetProperty("name"); ok {
		if s, ok := p.Value.Eval().(*parser.String); ok {
			return s.Value
		}
	}
	return m.Type
}

// entry is one value of a list property: the module that holds it and the value.
type entry struct {
	module, value string
}

// listProperty gives the strings of the top-level list property `name` of every module,
// in file and module order, with variables and concatenations evaluated.
func listProperty(name string, files []string) ([]entry, []error) {
	var entries []entry
	var errs []error
	for _, file := range files {
		f, parseErrs := parse(file)
		if f == nil || len(parseErrs) > 0 {
			errs = append(errs, parseErrs...)
			continue
		}
		for _, def := range f.Defs {
			m, ok := def.(*parser.Module)
			if !ok {
				continue
			}
			p, ok := m.GetProperty(name)
			if !ok {
				continue
			}
			list, ok := p.Value.Eval().(*parser.List)
			if !ok {
				errs = append(errs, fmt.Errorf("%s: %s is not a list", p.NamePos, name))
				continue
			}
			for _, v := range list.Values {
				s, ok := v.Eval().(*parser.String)
				if !ok {
					errs = append(errs, fmt.Errorf("%s: %s holds a value that is no string", v.Pos(), name))
					continue
				}
				entries = append(entries, entry{moduleName(m), s.Value})
			}
		}
	}
	return entries, errs
}

func main() {
	print := flag.String("print", "", "print this list property of every module instead of checking")
	flag.Parse()
	files := flag.Args()
	if len(files) == 0 {
		fmt.Fprintln(os.Stderr, "usage: bpcheck [-print PROPERTY] Android.bp...")
		os.Exit(2)
	}
	var errs []error
	if *print != "" {
		var entries []entry
		entries, errs = listProperty(*print, files)
		for _, e := range entries {
			fmt.Printf("%s\t%s\n", e.module, e.value)
		}
	} else {
		errs = check(files)
	}
	for _, err := range errs {
		fmt.Fprintln(os.Stderr, err)
	}
	if len(errs) > 0 {
		os.Exit(1)
	}
}
