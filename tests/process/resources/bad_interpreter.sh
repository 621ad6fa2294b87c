#!/nonexistent/interpreter
echo never
