greet() {
  echo "Hello, $1!"
}
